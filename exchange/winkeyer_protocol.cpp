#include "exchange/winkeyer_protocol.h"

namespace telkey {

namespace {

using Kind = WinkeyerAction::Kind;

constexpr std::uint8_t kAdmin = 0x00;
constexpr std::uint8_t kFirstText = 0x20;
constexpr std::uint8_t kLastText = 0x7F;

// Admin commands by number.
enum Admin : std::uint8_t {
    kCalibrate = 0,
    kReset = 1,
    kOpen = 2,
    kClose = 3,
    kEchoTest = 4,
    kPaddleA2d = 5,
    kSpeedA2d = 6,
    kGetValues = 7,
    kGetCal = 9,
    kDumpEeprom = 12,
    kLoadEeprom = 13,
    kSendMessage = 14,
    kLoadX1Mode = 15,
    kRttyRegisters = 19,
    kReadVcc = 21,
    kLoadX2Mode = 22,
    kFirmwareMajor = 23,
    kIcType = 24,
    kSidetoneVolume = 25,
};
constexpr int kEepromSize = 256;
constexpr std::uint8_t kEepromMagic = 0xA5;
constexpr std::uint8_t kIcTypeByte = 0x01;
// What a read of the supply voltage gives: 26214 / 5 V.
constexpr std::uint8_t kVccByte = 52;

// Immediate and buffered commands by byte.
enum Command : std::uint8_t {
    kSidetone = 0x01,
    kSpeed = 0x02,
    kWeight = 0x03,
    kPttTiming = 0x04,
    kPotSetup = 0x05,
    kPause = 0x06,
    kGetPot = 0x07,
    kBackspace = 0x08,
    kPinConfig = 0x09,
    kClearBuffer = 0x0A,
    kKeyImmediate = 0x0B,
    kHscw = 0x0C,
    kFarnsworth = 0x0D,
    kMode = 0x0E,
    kLoadDefaults = 0x0F,
    kFirstExtension = 0x10,
    kKeyComp = 0x11,
    kSwitchpoint = 0x12,
    kNull = 0x13,
    kSoftwarePaddle = 0x14,
    kStatus = 0x15,
    kPointer = 0x16,
    kRatio = 0x17,
    kBufferedPtt = 0x18,
    kBufferedKey = 0x19,
    kBufferedWait = 0x1A,
    kMerge = 0x1B,
    kBufferedSpeed = 0x1C,
    kBufferedHscw = 0x1D,
    kCancelSpeed = 0x1E,
    kBufferedNop = 0x1F,
};
constexpr std::uint8_t kPointerAddNulls = 3;

// Bytes of each command 0x00..0x1F, the command byte included (admin: before its number).
constexpr std::array<std::uint8_t, 0x20> kLength = {
    2, 2, 2, 2, 3, 4, 2, 1, 1, 2, 1, 2, 2, 2, 2, 16,  // 0x00..0x0F
    2, 2, 2, 1, 2, 1, 2, 2, 2, 2, 2, 3, 2, 2, 1, 1,   // 0x10..0x1F
};

WinkeyerAction Act(Kind kind, std::uint8_t a = 0, std::uint8_t b = 0) {
    WinkeyerAction action;
    action.kind = kind;
    action.a = a;
    action.b = b;
    return action;
}

WinkeyerAction Answer(std::vector<std::uint8_t> bytes) {
    WinkeyerAction action = Act(Kind::Answer);
    action.bytes = std::move(bytes);
    return action;
}

WinkeyerAction Ignored(std::string detail) {
    WinkeyerAction action = Act(Kind::Ignored);
    action.detail = std::move(detail);
    return action;
}

}  // namespace

std::array<std::uint8_t, 15> WinkeyerSettings::Bytes() const {
    return {mode,           speed,   sidetone,   weight,      leadIn, tail,      potMin, potRange,
            firstExtension, keyComp, farnsworth, switchpoint, ratio,  pinConfig, 0xFF};
}

void WinkeyerSettings::Load(const std::uint8_t* b) {
    mode = b[0];
    speed = b[1];
    sidetone = b[2];
    weight = b[3];
    leadIn = b[4];
    tail = b[5];
    potMin = b[6];
    potRange = b[7];
    firstExtension = b[8];
    keyComp = b[9];
    farnsworth = b[10];
    switchpoint = b[11];
    ratio = b[12];
    pinConfig = b[13];
}

int WinkeyerParser::Needed() const {
    const std::uint8_t first = command_[0];
    if (first >= kFirstText) return 1;
    if (first == kPointer && command_.size() >= 2) return command_[1] == kPointerAddNulls ? 3 : 2;
    if (first != kAdmin || command_.size() < 2) return kLength[first];
    switch (command_[1]) {
        case kCalibrate:
        case kEchoTest:
        case kSendMessage:
        case kLoadX1Mode:
        case kLoadX2Mode:
        case kSidetoneVolume:
            return 3;
        case kRttyRegisters:
            return 4;
        case kLoadEeprom:
            return 2 + kEepromSize;
        default:
            return 2;
    }
}

void WinkeyerParser::Feed(std::uint8_t byte, std::vector<WinkeyerAction>& out) {
    if (command_.empty() && !hostOpen_ && byte != kAdmin) {
        // A closed interface takes admin commands only.
        return;
    }
    command_.push_back(byte);
    if (static_cast<int>(command_.size()) < Needed()) return;
    Complete(out);
    command_.clear();
}

void WinkeyerParser::DropPartial() {
    command_.clear();
}

void WinkeyerParser::Complete(std::vector<WinkeyerAction>& out) {
    const std::uint8_t first = command_[0];
    if (first == kAdmin) {
        Admin(out);
    } else if (first >= kFirstText && first <= kLastText) {
        out.push_back(Act(Kind::Text, first));
    } else if (first > kLastText) {
        out.push_back(Ignored("byte " + std::to_string(first) + " is no command"));
    } else {
        Immediate(out);
    }
}

void WinkeyerParser::Admin(std::vector<WinkeyerAction>& out) {
    const std::uint8_t sub = command_[1];
    switch (sub) {
        case kReset:
            hostOpen_ = false;
            settings_ = WinkeyerSettings{};
            out.push_back(Act(Kind::Reset));
            break;
        case kOpen: {
            hostOpen_ = true;
            WinkeyerAction open = Act(Kind::HostOpen);
            open.bytes = {kWinkeyerVersion};
            out.push_back(std::move(open));
            break;
        }
        case kClose:
            hostOpen_ = false;
            out.push_back(Act(Kind::HostClose));
            break;
        case kEchoTest:
            out.push_back(Answer({command_[2]}));
            break;
        case kPaddleA2d:
        case kSpeedA2d:
            out.push_back(Answer({0}));
            break;
        case kGetValues: {
            const auto bytes = settings_.Bytes();
            out.push_back(Answer({bytes.begin(), bytes.end()}));
            break;
        }
        case kGetCal:
        case kFirmwareMajor:
            out.push_back(Answer({kWinkeyerVersion}));
            break;
        case kDumpEeprom: {
            std::vector<std::uint8_t> eeprom(kEepromSize, 0);
            eeprom[0] = kEepromMagic;
            const auto bytes = settings_.Bytes();
            std::copy(bytes.begin(), bytes.end() - 1, eeprom.begin() + 1);
            out.push_back(Answer(std::move(eeprom)));
            break;
        }
        case kReadVcc:
            out.push_back(Answer({kVccByte}));
            break;
        case kIcType:
            out.push_back(Answer({kIcTypeByte}));
            break;
        default:
            // Mode switches, baud rates, calibration, messages and the EEPROM: nothing to do
            // for a keyer on a pseudo-terminal.
            out.push_back(Ignored("admin command " + std::to_string(sub)));
            break;
    }
}

void WinkeyerParser::Immediate(std::vector<WinkeyerAction>& out) {
    const std::uint8_t a = command_.size() > 1 ? command_[1] : 0;
    const std::uint8_t b = command_.size() > 2 ? command_[2] : 0;
    switch (command_[0]) {
        case kSidetone:
            settings_.sidetone = a;
            out.push_back(Act(Kind::Sidetone, a));
            break;
        case kSpeed:
            settings_.speed = a;
            out.push_back(Act(Kind::Speed, a));
            break;
        case kWeight:
            settings_.weight = a;
            out.push_back(Act(Kind::Weight, a));
            break;
        case kPttTiming:
            settings_.leadIn = a;
            settings_.tail = b;
            out.push_back(Act(Kind::PttTiming, a, b));
            break;
        case kPotSetup:
            settings_.potMin = a;
            settings_.potRange = b;
            out.push_back(Act(Kind::PotSetup, a, b));
            break;
        case kPause:
            out.push_back(Act(Kind::Pause, a != 0 ? 1 : 0));
            break;
        case kGetPot:
            out.push_back(Act(Kind::PotRequest));
            break;
        case kBackspace:
            out.push_back(Act(Kind::Backspace));
            break;
        case kPinConfig:
            settings_.pinConfig = a;
            out.push_back(Act(Kind::PinConfig, a));
            break;
        case kClearBuffer:
            out.push_back(Act(Kind::ClearBuffer));
            break;
        case kKeyImmediate:
            out.push_back(Act(Kind::KeyImmediate, a != 0 ? 1 : 0));
            break;
        case kFarnsworth:
            settings_.farnsworth = a;
            out.push_back(Ignored("Farnsworth speed " + std::to_string(a)));
            break;
        case kMode:
            settings_.mode = a;
            out.push_back(Act(Kind::Mode, a));
            break;
        case kLoadDefaults:
            settings_.Load(command_.data() + 1);
            out.push_back(Act(Kind::LoadDefaults));
            break;
        case kFirstExtension:
            settings_.firstExtension = a;
            break;
        case kKeyComp:
            settings_.keyComp = a;
            break;
        case kSwitchpoint:
            settings_.switchpoint = a;
            break;
        case kRatio:
            settings_.ratio = a;
            out.push_back(Act(Kind::Ratio, a));
            break;
        case kStatus:
            out.push_back(Act(Kind::StatusRequest));
            break;
        case kBufferedPtt:
            out.push_back(Act(Kind::BufferedPtt, a != 0 ? 1 : 0));
            break;
        case kBufferedKey:
            out.push_back(Act(Kind::BufferedKey, a));
            break;
        case kBufferedWait:
            out.push_back(Act(Kind::BufferedWait, a));
            break;
        case kMerge:
            out.push_back(Act(Kind::Merge, a, b));
            break;
        case kBufferedSpeed:
            out.push_back(Act(Kind::BufferedSpeed, a));
            break;
        case kCancelSpeed:
            out.push_back(Act(Kind::CancelSpeed));
            break;
        case kHscw:
        case kBufferedHscw:
        case kSoftwarePaddle:
        case kPointer:
            out.push_back(Ignored("command " + std::to_string(command_[0])));
            break;
        case kNull:
        case kBufferedNop:
        default:
            break;
    }
}

}  // namespace telkey
