#pragma once
// The control protocol with a logging program: BRX_CW commands into the keyer, Telkey_Message
// state announcements and field announcements out of it (and field announcements in).
#include <QAbstractButton>
#include <cstdint>
#include <functional>
#include <string>

namespace telkey {

struct RegisteredMessages;
struct SharedFlags;
class MessageServices;
class QsoFields;

inline constexpr char kBrxCwName[] = "BRX_CW";
inline constexpr char kTelkeyMessageName[] = "Telkey_Message";

// BRX_CW commands (wParam, signed 32-bit).
inline constexpr std::int32_t kFirstMacroCommand = 0;
inline constexpr std::int32_t kLastMacroCommand = 15;
inline constexpr std::int32_t kCommandPauseOff = 100;
inline constexpr std::int32_t kCommandPauseOn = 101;
inline constexpr std::int32_t kCommandPauseToggle = 102;
inline constexpr std::int32_t kCommandTxOff = 110;
inline constexpr std::int32_t kCommandTxOn = 111;
inline constexpr std::int32_t kCommandTxToggle = 112;

// What the commands act through (the transmit side).
struct TransmitCommands {
    std::function<void(int slot)> RunMacro;
    std::function<void(bool on)> SetPause;
    std::function<void()> ApplyTx;
    QAbstractButton* TxButton = nullptr;
};

class ControlProtocol {
  public:
    ControlProtocol(MessageServices& messages, RegisteredMessages& registered,
                    const SharedFlags& flags, QsoFields& fields);

    void Bind(const TransmitCommands& transmit) { transmit_ = transmit; }

    // Makes MainWindowHook the main window's handler of bus messages.
    void InstallHook();

    // Handles BRX_CW and Telkey_Message (answering 0); any other message goes to the previous
    // handling, which on the bus has nothing to do.
    std::int32_t MainWindowHook(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam);

    // End of start-up: registers "BRX_CW" and "Telkey_Message", then announces pause off (100)
    // and transmitter off (110). When the two cannot be told apart (not registered, or one
    // identifier for both), neither is kept, nothing is announced, and the problem comes back.
    std::string AnnounceStartup();

  private:
    void RunCommand(std::int32_t command);
    void SetTxButton(bool down);

    MessageServices& messages_;
    RegisteredMessages& registered_;
    const SharedFlags& flags_;
    QsoFields& fields_;
    TransmitCommands transmit_;
};

}  // namespace telkey
