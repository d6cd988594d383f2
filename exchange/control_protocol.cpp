#include "exchange/control_protocol.h"

#include "bus/message_services.h"
#include "bus/registered_messages.h"
#include "engine/handover.h"
#include "exchange/qso_fields.h"

namespace telkey {
namespace {

constexpr std::int32_t kCodeMask = 0xFF;

}  // namespace

ControlProtocol::ControlProtocol(MessageServices& messages, RegisteredMessages& registered,
                                 const SharedFlags& flags, QsoFields& fields)
    : messages_(messages), registered_(registered), flags_(flags), fields_(fields) {}

void ControlProtocol::InstallHook() {
    messages_.SetHandler([this](std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
        return MainWindowHook(msg, wParam, lParam);
    });
}

std::int32_t ControlProtocol::MainWindowHook(std::uint32_t msg, std::int32_t wParam,
                                             std::int32_t lParam) {
    // Unregistered identifiers are 0, which no message is taken as.
    if (msg == 0) return 0;
    if (msg == registered_.BRX_CW) {
        RunCommand(wParam);
        return 0;
    }
    if (msg == registered_.Telkey_Message) {
        if ((wParam & kCodeMask) == kAnnounceField) fields_.ImportFields(lParam);
        return 0;
    }
    return 0;
}

void ControlProtocol::RunCommand(std::int32_t command) {
    if (command >= kFirstMacroCommand && command <= kLastMacroCommand) {
        if (transmit_.RunMacro) transmit_.RunMacro(command);
        return;
    }
    switch (command) {
        case kCommandPauseOff:
            if (transmit_.SetPause) transmit_.SetPause(false);
            break;
        case kCommandPauseOn:
            if (transmit_.SetPause) transmit_.SetPause(true);
            break;
        case kCommandPauseToggle:
            if (transmit_.SetPause) transmit_.SetPause(flags_.Paused.load() == 0);
            break;
        case kCommandTxOff:
            SetTxButton(false);
            break;
        case kCommandTxOn:
            SetTxButton(true);
            break;
        case kCommandTxToggle:
            SetTxButton(flags_.Transmitting.load() != 1);
            break;
        default:
            break;  // 16 to 99, 103 to 109, 113 and up, negative: not a command
    }
}

void ControlProtocol::SetTxButton(bool down) {
    if (transmit_.TxButton != nullptr) transmit_.TxButton->setChecked(down);
    if (transmit_.ApplyTx) transmit_.ApplyTx();
}

std::string ControlProtocol::AnnounceStartup() {
    const std::uint32_t brx = messages_.RegisterMessage(kBrxCwName);
    std::string problem = messages_.RegistrationProblem();
    const std::uint32_t own = messages_.RegisterMessage(kTelkeyMessageName);
    if (problem.empty()) problem = messages_.RegistrationProblem();
    // With one identifier for both, Telkey would take its own announcements for commands.
    if (brx == 0 || own == 0 || brx == own) {
        if (problem.empty()) problem = "the two message names got one identifier";
        return "Telkey cannot register its messages for logging programs. " + problem;
    }
    registered_.BRX_CW = brx;
    registered_.Telkey_Message = own;
    messages_.Broadcast(registered_.Telkey_Message, kAnnouncePauseOff, 0);
    messages_.Broadcast(registered_.Telkey_Message, kAnnounceTxOff, 0);
    return {};
}

}  // namespace telkey
