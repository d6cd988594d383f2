#pragma once
// The game port's buttons from an input device (/dev/input/eventN): a joystick's first and
// second button, or a keyboard-style paddle adapter's two keys (left and right Ctrl unless named
// with --paddle-keys=). An input thread reads the events and keeps the buttons in an atomic word,
// so the keyer's read of port 0x201 never waits.
#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <thread>

#include "backends/devices_layer.h"
#include "backends/devices_notices.h"
#include "backends/devices_port_device.h"
#include "backends/devices_stopper.h"

namespace telkey {

constexpr std::uint16_t kGamePort = 0x201;
// Buttons 1..4 are bits 4..7, low while pressed; the axis one-shots (bits 0..3) read expired.
constexpr std::uint8_t kGamePortIdle = 0xF0;
constexpr int kGamePortButtons = 4;

using PaddleKeyCodes = std::array<std::uint16_t, 2>;

// "LEFTCTRL,RIGHTCTRL", "KEY_Z,KEY_X", "BTN_LEFT,BTN_RIGHT" or event codes ("29,97", "0x1d,0x61"):
// the first gives the dot (button 1), the second the dash (button 2). False with `error` set
// when the text names no two known keys.
bool ParsePaddleKeys(std::string_view text, PaddleKeyCodes& codes, std::string& error);

// A key's name as ParsePaddleKeys takes it back ("LEFTCTRL", "BTN_LEFT", or its number).
std::string PaddleKeyName(int code);

class InputPaddle {
  public:
    // keysText: the --paddle-keys= value, empty for the device's own buttons. It must parse
    // (ParsePaddleKeys) before it gets here.
    InputPaddle(DeviceLayer& layer, std::string path, std::string_view keysText,
                DevicesTiming timing, DeviceNotices& notices);
    ~InputPaddle();
    InputPaddle(const InputPaddle&) = delete;
    InputPaddle& operator=(const InputPaddle&) = delete;

    // At start: "" when open, else a message naming the device and the fix. The second
    // result is a note for the user on what is used ("" when nothing to say).
    std::string Open(std::string& note);
    void StartThread();
    void StopThread();
    // Stops the thread, lets go of the device and closes it (also done when destroyed).
    void Shut() noexcept;

    // Keyer thread: the byte port 0x201 reads.
    std::uint8_t GamePortByte() const noexcept;
    bool IsOpen() const noexcept { return fd_.load() >= 0; }

    // One round of the input thread: takes the waiting events (waiting up to timeoutMs,
    // DeviceLayer::kNoTimeout: until one comes or the wait is cut short), or
    // retries a missing device when its time has come.
    // Told on the input thread when the buttons change. Set it before StartThread.
    void OnChange(std::function<void()> told) { changed_ = std::move(told); }
    void Service(std::int64_t nowNs, int timeoutMs);

  private:
    int TryOpen(std::string& message, std::string& note);
    bool ChooseButtons(int fd, std::string& message, bool& grab);
    void ReadState(int fd);
    void Lose(std::int64_t nowNs);

    DeviceLayer& layer_;
    const std::string path_;
    const DevicesTiming timing_;
    DeviceNotices& notices_;
    bool namedKeys_ = false;
    PaddleKeyCodes namedCodes_{};
    std::array<int, kGamePortButtons> codes_{-1, -1, -1, -1};  // event code of each button
    std::atomic<int> fd_{-1};
    std::atomic<std::uint8_t> pressed_{0};  // bit i: button i + 1 pressed
    std::function<void()> changed_;
    void StorePressed(std::uint8_t pressed) noexcept;
    bool everOpen_ = false;
    std::int64_t nextTryNs_ = 0;
    Stopper stopper_;
    std::thread thread_;
    std::atomic<bool> threadDone_{true};
};

}  // namespace telkey
