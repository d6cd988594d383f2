#include "backends/devices_input.h"

#include <fcntl.h>
#include <linux/input.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace telkey {

namespace {

struct KeyName {
    std::string_view name;
    std::uint16_t code;
};

// The keys a paddle adapter is likely to send; any other key can be given by its code.
constexpr KeyName kKeyNames[] = {
    {"LEFTCTRL", KEY_LEFTCTRL},
    {"RIGHTCTRL", KEY_RIGHTCTRL},
    {"LEFTSHIFT", KEY_LEFTSHIFT},
    {"RIGHTSHIFT", KEY_RIGHTSHIFT},
    {"LEFTALT", KEY_LEFTALT},
    {"RIGHTALT", KEY_RIGHTALT},
    {"LEFTMETA", KEY_LEFTMETA},
    {"RIGHTMETA", KEY_RIGHTMETA},
    {"LEFTBRACE", KEY_LEFTBRACE},
    {"RIGHTBRACE", KEY_RIGHTBRACE},
    {"COMMA", KEY_COMMA},
    {"DOT", KEY_DOT},
    {"SLASH", KEY_SLASH},
    {"SEMICOLON", KEY_SEMICOLON},
    {"APOSTROPHE", KEY_APOSTROPHE},
    {"MINUS", KEY_MINUS},
    {"EQUAL", KEY_EQUAL},
    {"SPACE", KEY_SPACE},
    {"ENTER", KEY_ENTER},
    {"TAB", KEY_TAB},
    {"LEFT", KEY_LEFT},
    {"RIGHT", KEY_RIGHT},
    {"UP", KEY_UP},
    {"DOWN", KEY_DOWN},
    {"A", KEY_A},
    {"B", KEY_B},
    {"C", KEY_C},
    {"D", KEY_D},
    {"E", KEY_E},
    {"F", KEY_F},
    {"G", KEY_G},
    {"H", KEY_H},
    {"I", KEY_I},
    {"J", KEY_J},
    {"K", KEY_K},
    {"L", KEY_L},
    {"M", KEY_M},
    {"N", KEY_N},
    {"O", KEY_O},
    {"P", KEY_P},
    {"Q", KEY_Q},
    {"R", KEY_R},
    {"S", KEY_S},
    {"T", KEY_T},
    {"U", KEY_U},
    {"V", KEY_V},
    {"W", KEY_W},
    {"X", KEY_X},
    {"Y", KEY_Y},
    {"Z", KEY_Z},
    {"0", KEY_0},
    {"1", KEY_1},
    {"2", KEY_2},
    {"3", KEY_3},
    {"4", KEY_4},
    {"5", KEY_5},
    {"6", KEY_6},
    {"7", KEY_7},
    {"8", KEY_8},
    {"9", KEY_9},
    {"F1", KEY_F1},
    {"F2", KEY_F2},
    {"F3", KEY_F3},
    {"F4", KEY_F4},
    {"BTN_LEFT", BTN_LEFT},
    {"BTN_RIGHT", BTN_RIGHT},
    {"BTN_MIDDLE", BTN_MIDDLE},
    {"BTN_0", BTN_0},
    {"BTN_1", BTN_1},
    {"BTN_TRIGGER", BTN_TRIGGER},
    {"BTN_THUMB", BTN_THUMB},
    {"BTN_SOUTH", BTN_SOUTH},
    {"BTN_EAST", BTN_EAST},
};

// Joystick and gamepad buttons in the order a game port numbers them.
constexpr std::pair<int, int> kButtonRanges[] = {
    {BTN_JOYSTICK, BTN_DEAD},
    {BTN_GAMEPAD, BTN_THUMBR},
    {BTN_MISC, BTN_9},
};

constexpr std::size_t kKeyBitmapBytes = KEY_MAX / 8 + 1;
constexpr int kEventsPerRead = 64;

using KeyBitmap = std::array<unsigned char, kKeyBitmapBytes>;

bool HasBit(const KeyBitmap& bits, int code) {
    return code >= 0 && code <= KEY_MAX &&
           (bits[static_cast<std::size_t>(code) / 8] >> (code % 8)) & 1;
}

std::string Upper(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (!std::isspace(static_cast<unsigned char>(c))) {
            out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
    }
    return out;
}

bool ParseOneKey(std::string_view item, std::uint16_t& code) {
    std::string name = Upper(item);
    if (name.empty()) return false;
    if (std::isdigit(static_cast<unsigned char>(name[0])) && name.size() > 1) {
        int base = 10;
        std::string_view digits = name;
        if (name.starts_with("0X")) {
            base = 16;
            digits.remove_prefix(2);
        }
        unsigned value = 0;
        const auto [end, ec] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
        if (ec != std::errc() || end != digits.data() + digits.size() || value == 0 ||
            value > KEY_MAX) {
            return false;
        }
        code = static_cast<std::uint16_t>(value);
        return true;
    }
    if (name.starts_with("KEY_")) name.erase(0, 4);
    for (const auto& key : kKeyNames) {
        if (key.name == name) {
            code = key.code;
            return true;
        }
    }
    return false;
}

std::string KeyLabel(int code) {
    for (const auto& key : kKeyNames) {
        if (key.code == code) return std::string(key.name);
    }
    return "key " + std::to_string(code);
}

}  // namespace

std::int64_t MonotonicNs() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

std::string PaddleKeyName(int code) {
    for (const KeyName& key : kKeyNames) {
        if (key.code == code) return std::string(key.name);
    }
    // In hex, so that a small number is not read as a digit key's name.
    char text[16];
    std::snprintf(text, sizeof text, "0x%x", static_cast<unsigned>(code));
    return text;
}

bool ParsePaddleKeys(std::string_view text, PaddleKeyCodes& codes, std::string& error) {
    const auto comma = text.find(',');
    std::uint16_t dot = 0;
    std::uint16_t dash = 0;
    if (comma == std::string_view::npos || !ParseOneKey(text.substr(0, comma), dot) ||
        !ParseOneKey(text.substr(comma + 1), dash) || dot == dash) {
        error =
            "--paddle-keys= wants two different keys, dot first, for example "
            "--paddle-keys=LEFTCTRL,RIGHTCTRL (key names as in linux/input-event-codes.h, "
            "or event codes).";
        return false;
    }
    codes = {dot, dash};
    return true;
}

InputPaddle::InputPaddle(DeviceLayer& layer, std::string path, std::string_view keysText,
                         DevicesTiming timing, DeviceNotices& notices)
    : layer_(layer), path_(std::move(path)), timing_(timing), notices_(notices) {
    std::string ignored;
    namedKeys_ = !keysText.empty() && ParsePaddleKeys(keysText, namedCodes_, ignored);
}

InputPaddle::~InputPaddle() {
    Shut();
}

void InputPaddle::Shut() noexcept {
    StopThread();
    const int fd = fd_.exchange(-1);
    if (fd >= 0) {
        layer_.Ioctl(fd, EVIOCGRAB, nullptr);
        layer_.Close(fd);
    }
}

bool InputPaddle::ChooseButtons(int fd, std::string& message, bool& grab) {
    KeyBitmap keys{};
    if (const int r = layer_.Ioctl(fd, EVIOCGBIT(EV_KEY, kKeyBitmapBytes), keys.data()); r < 0) {
        message = "GAME: " + path_ +
                  " is not an input event device (give /dev/input/eventN or a "
                  "/dev/input/by-id/ name).";
        return false;
    }
    codes_ = {-1, -1, -1, -1};
    grab = false;
    if (namedKeys_) {
        for (int i = 0; i < 2; ++i) {
            if (!HasBit(keys, namedCodes_[static_cast<std::size_t>(i)])) {
                message = "GAME: " + path_ + " has no " +
                          KeyLabel(namedCodes_[static_cast<std::size_t>(i)]) +
                          ". Name keys it sends with --paddle-keys= (evtest shows them).";
                return false;
            }
            codes_[static_cast<std::size_t>(i)] = namedCodes_[static_cast<std::size_t>(i)];
        }
        grab = true;
        return true;
    }
    std::size_t found = 0;
    for (const auto& [first, last] : kButtonRanges) {
        for (int code = first; code <= last && found < codes_.size(); ++code) {
            if (HasBit(keys, code)) codes_[found++] = code;
        }
    }
    if (found >= 2) return true;
    if (HasBit(keys, KEY_LEFTCTRL) && HasBit(keys, KEY_RIGHTCTRL)) {
        codes_ = {KEY_LEFTCTRL, KEY_RIGHTCTRL, -1, -1};
        grab = true;
        return true;
    }
    message = "GAME: " + path_ +
              " has neither two joystick buttons nor left and right Ctrl. Name "
              "the keys it sends with --paddle-keys=.";
    return false;
}

void InputPaddle::ReadState(int fd) {
    KeyBitmap state{};
    std::uint8_t pressed = 0;
    if (layer_.Ioctl(fd, EVIOCGKEY(kKeyBitmapBytes), state.data()) >= 0) {
        for (std::size_t i = 0; i < codes_.size(); ++i) {
            if (HasBit(state, codes_[i])) pressed |= static_cast<std::uint8_t>(1u << i);
        }
    }
    StorePressed(pressed);
}

int InputPaddle::TryOpen(std::string& message, std::string& note) {
    const int fd = layer_.Open(path_.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        switch (-fd) {
            case ENOENT:
                message = "GAME: " + path_ +
                          " does not exist. Plug in the paddle, or give its "
                          "name as ls /dev/input/by-id/ shows it.";
                break;
            case EACCES:
            case EPERM:
                message = "GAME: no permission to read " + path_ +
                          ". Add a udev rule that gives you this device (see the hardware "
                          "notes), or add yourself to the input group (sudo usermod -aG input "
                          "$USER) and log in again.";
                break;
            default:
                message = "GAME: cannot open " + path_ + ": " + ErrorText(fd) + ".";
        }
        return fd;
    }
    bool grab = false;
    if (!ChooseButtons(fd, message, grab)) {
        layer_.Close(fd);
        return -EINVAL;
    }
    if (grab) {
        // Only this device: its keys then reach Telkey alone, the operator's keyboard is untouched.
        if (const int r = layer_.Ioctl(fd, EVIOCGRAB, reinterpret_cast<void*>(1)); r < 0) {
            layer_.Close(fd);
            message = "GAME: " + path_ + " is grabbed by another program (" + ErrorText(r) +
                      "). Close it.";
            return r;
        }
    }
    ReadState(fd);
    char name[128] = {};
    layer_.Ioctl(fd, EVIOCGNAME(sizeof name - 1), name);
    note = "GAME: \"" + std::string(name) + "\" (" + path_ +
           ") gives the paddle: " + KeyLabel(codes_[0]) + " dot, " + KeyLabel(codes_[1]) + " dash" +
           (grab ? "; its keys reach only Telkey while it runs." : ".");
    return fd;
}

std::string InputPaddle::Open(std::string& note) {
    std::string message;
    const int fd = TryOpen(message, note);
    if (fd < 0) {
        nextTryNs_ = 0;  // the input thread tries again at once, then now and then
        return message + " Telkey runs on without the paddle and takes it up when it appears.";
    }
    fd_.store(fd);
    everOpen_ = true;
    return {};
}

std::uint8_t InputPaddle::GamePortByte() const noexcept {
    return static_cast<std::uint8_t>(kGamePortIdle & ~(pressed_.load() << 4));
}

void InputPaddle::Lose(std::int64_t nowNs) {
    const int fd = fd_.exchange(-1);
    StorePressed(0);
    if (fd >= 0) layer_.Close(fd);
    nextTryNs_ = nowNs + timing_.reopenPeriodNs;
    notices_.Post("GAME: " + path_ +
                  " has gone (unplugged?); the paddle reads open. Telkey takes it back when it "
                  "returns.");
}

void InputPaddle::Service(std::int64_t nowNs, int timeoutMs) {
    int fd = fd_.load();
    if (fd < 0) {
        if (nowNs < nextTryNs_) return;
        nextTryNs_ = nowNs + timing_.reopenPeriodNs;
        std::string message;
        std::string note;
        fd = TryOpen(message, note);
        if (fd < 0) return;
        fd_.store(fd);
        notices_.Post(everOpen_ ? "GAME: " + path_ + " is back." : note);
        everOpen_ = true;
    }
    const int ready = layer_.WaitReadable(fd, timeoutMs);
    if (ready < 0) {
        Lose(nowNs);
        return;
    }
    if (ready == 0) return;
    std::array<input_event, kEventsPerRead> events{};
    const long n = layer_.Read(fd, events.data(), sizeof events);
    if (n == -EAGAIN || n == -EINTR) return;
    if (n <= 0) {
        // 0 or an error on a readable device: it has gone.
        Lose(nowNs);
        return;
    }
    std::uint8_t pressed = pressed_.load();
    const auto count = static_cast<std::size_t>(n) / sizeof(input_event);
    for (std::size_t i = 0; i < count; ++i) {
        const input_event& e = events[i];
        if (e.type == EV_SYN && e.code == SYN_DROPPED) {
            // The kernel dropped events: ask for the state as it is now.
            ReadState(fd);
            pressed = pressed_.load();
            continue;
        }
        if (e.type != EV_KEY) continue;
        for (std::size_t b = 0; b < codes_.size(); ++b) {
            if (codes_[b] != e.code) continue;
            const auto bit = static_cast<std::uint8_t>(1u << b);
            pressed = e.value != 0 ? (pressed | bit) : static_cast<std::uint8_t>(pressed & ~bit);
        }
    }
    StorePressed(pressed);
}

void InputPaddle::StorePressed(std::uint8_t pressed) noexcept {
    if (pressed_.exchange(pressed) != pressed && changed_) changed_();
}

void InputPaddle::StartThread() {
    if (thread_.joinable()) return;
    stopper_.Rearm();
    threadDone_.store(false);
    thread_ = std::thread([this] {
        // Blocks on the device until an event comes: an untouched paddle costs no wake-up.
        while (stopper_.Running()) {
            const bool open = fd_.load() >= 0;
            const std::int64_t now = MonotonicNs();
            Service(now, DeviceLayer::kNoTimeout);
            // A missing device is tried again when its time comes.
            if (!open && fd_.load() < 0 &&
                !stopper_.Sleep(std::max<std::int64_t>(0, nextTryNs_ - now)))
                break;
        }
        threadDone_.store(true);
    });
}

void InputPaddle::StopThread() {
    stopper_.Stop();
    // A wake that comes before the thread blocks is lost: repeat until it has ended.
    while (thread_.joinable() && !threadDone_.load()) {
        layer_.WakeBlockedWait(thread_);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (thread_.joinable()) thread_.join();
}

}  // namespace telkey
