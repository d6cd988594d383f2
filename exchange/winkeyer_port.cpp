#include "exchange/winkeyer_port.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <iostream>

#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "options/speed_control.h"
#include "transmit/queue_marks.h"

namespace telkey {

namespace {

using Kind = WinkeyerAction::Kind;
using Action = LoggerKeying::Action;

constexpr int kReadChunk = 256;
constexpr int kTenMs = 10;
constexpr int kMsPerSecond = 1000;
// How often the paddle is looked at while the logger's text is keyed.
constexpr int kPaddleWatchMs = 10;
// How often a logger's commands that came before Telkey's start-up look whether it has run.
constexpr int kStartWatchMs = 50;
constexpr std::int32_t kLpmPerWpm = 5;
constexpr std::uint8_t kPotMax = 63;
// The sidetone code's low nibble n gives 4000 / n Hz.
constexpr int kSidetoneBaseHz = 4000;
constexpr std::uint8_t kSidetoneNibble = 0x0F;
constexpr std::uint8_t kMinWeight = 10;
constexpr std::uint8_t kMaxWeight = 90;
constexpr std::uint8_t kNormalWeight = 50;
// Ratio 50 gives a dash of three dots: Telkey's ratio is in 1/100 dots.
constexpr int kRatioToDashDot = 6;
// A half space: Telkey keys none.
constexpr std::uint8_t kHalfSpace = '|';
constexpr std::uint8_t kLastAscii = 0x7F;
constexpr int kCodeBits = 8;

// Elements of a code after its start bit.
int ElementCount(std::uint8_t code) {
    int n = 0;
    for (std::uint8_t mask = FirstElementMask(code); mask != 0; mask >>= 1) ++n;
    return n;
}

}  // namespace

WinkeyerPort::WinkeyerPort(LoggerKeying& keying, QObject* parent) : QObject(parent), k_(keying) {
    waitEnd_.setSingleShot(true);
    connect(&waitEnd_, &QTimer::timeout, this, [this] {
        waiting_ = false;
        UpdateStatus();
    });
    startWatch_.setInterval(kStartWatchMs);
    connect(&startWatch_, &QTimer::timeout, this, &WinkeyerPort::ReadBytes);
    paddleWatch_.setInterval(kPaddleWatchMs);
    connect(&paddleWatch_, &QTimer::timeout, this, &WinkeyerPort::WatchPaddle);
    k_.SetPaddleEcho([this](std::uint8_t code) { PaddleEchoed(code); });
    // Telkey's own speed controls move the logger's speed as a speed pot would.
    SpeedControl& speed = *k_.Targets().speed;
    previousSpeedApplied_ = speed.speedApplied;
    lastLpm_ = speed.Speed;
    speed.speedApplied = [this](std::int32_t lpm) {
        if (previousSpeedApplied_) previousSpeedApplied_(lpm);
        SpeedApplied(lpm);
    };
}

WinkeyerPort::~WinkeyerPort() {
    hostReadable_.reset();
    openClose_.reset();
    k_.SetPaddleEcho(nullptr);
    k_.Targets().speed->speedApplied = previousSpeedApplied_;
    k_.SetPttTiming(0, 0);
    k_.SetPaused(false);
    pty_.Close();
}

bool WinkeyerPort::Open(const std::string& linkPath, std::string& error) {
    if (!pty_.Open(linkPath, error)) return false;
    hostReadable_ = std::make_unique<QSocketNotifier>(pty_.MasterFd(), QSocketNotifier::Read, this);
    connect(hostReadable_.get(), &QSocketNotifier::activated, this, &WinkeyerPort::ReadHost);
    openClose_ = std::make_unique<QSocketNotifier>(pty_.WatchFd(), QSocketNotifier::Read, this);
    connect(openClose_.get(), &QSocketNotifier::activated, this, &WinkeyerPort::ReadHost);
    return true;
}

// The logger's opens and closes are taken first, its bytes then. A new open finds nothing
// that was meant for an earlier one; a close drops the command it left unfinished, after what
// it sent before it has been read.
void WinkeyerPort::ReadHost() {
    const bool before = LoggerPresent();
    const PtyLink::OpenEvents events = pty_.TakeOpenEvents();
    if (!before && events.opened > 0) pty_.DropUnread();
    ReadBytes();
    if (events.closed > 0 && !LoggerPresent()) {
        parser_.DropPartial();
        // The logger's PTT lead and tail hold only while it holds the port.
        k_.SetPttTiming(0, 0);
    }
}

// Until Telkey's start-up has run (settings, ports, the keyer), only the answers go out at once;
// the rest waits in order, as the cwdaemon listener's requests do.
void WinkeyerPort::ReadBytes() {
    const bool started = k_.KeyerRuns();
    if (started && !k_.Captured()) k_.CaptureStartupSettings();
    if (started && !waitingForStart_.empty()) {
        startWatch_.stop();
        const std::vector<WinkeyerAction> waiting = std::move(waitingForStart_);
        waitingForStart_.clear();
        for (const WinkeyerAction& action : waiting) Act(action);
    }
    std::array<std::uint8_t, kReadChunk> bytes{};
    std::vector<WinkeyerAction> actions;
    for (;;) {
        const std::size_t n = pty_.Read(bytes.data(), bytes.size());
        if (n == 0) break;
        bytesRead_ += n;
        for (std::size_t i = 0; i < n; ++i) {
            actions.clear();
            parser_.Feed(bytes[i], actions);
            for (WinkeyerAction& action : actions) {
                if (started || action.kind == Kind::Answer || action.kind == Kind::HostOpen ||
                    action.kind == Kind::StatusRequest) {
                    Act(action);
                } else {
                    waitingForStart_.push_back(std::move(action));
                }
            }
            UpdateStatus();
        }
    }
    if (!waitingForStart_.empty() && !startWatch_.isActive()) startWatch_.start();
    k_.Flush();
    UpdateStatus();
}

void WinkeyerPort::Act(const WinkeyerAction& action) {
    switch (action.kind) {
        case Kind::Answer:
            Send(action.bytes);
            break;
        case Kind::HostOpen:
            Send(action.bytes);
            ApplyPttTiming();
            break;
        case Kind::HostClose:
            ClearBuffer();
            k_.SetPttTiming(0, 0);
            break;
        case Kind::Reset:
            ClearBuffer();
            k_.SetPttTiming(0, 0);
            k_.RestoreStartupSettings();
            break;
        case Kind::Sidetone: {
            const int n = action.a & kSidetoneNibble;
            if (n > 0) k_.SetTone(kSidetoneBaseHz / n);
            break;
        }
        case Kind::Speed:
            SetSpeed(action.a);
            break;
        case Kind::Weight:
            k_.SetWeighting(std::clamp(action.a, kMinWeight, kMaxWeight) - kNormalWeight);
            break;
        case Kind::PttTiming:
        case Kind::PinConfig:
            ApplyPttTiming();
            break;
        case Kind::PotSetup:
            break;
        case Kind::Pause:
            k_.SetPaused(action.a != 0);
            break;
        case Kind::PotRequest:
            Send({PotByte()});
            break;
        case Kind::Backspace:
            if (buffered_ > 0 && lastEcho_ != 0 && k_.TakeBackLast(lastEcho_)) --buffered_;
            lastEcho_ = 0;
            break;
        case Kind::ClearBuffer:
            ClearBuffer();
            break;
        case Kind::KeyImmediate:
            KeyImmediate(action.a != 0);
            break;
        case Kind::Mode:
            break;
        case Kind::LoadDefaults:
            ApplyDefaults();
            break;
        case Kind::Ratio:
            SetRatio(action.a);
            break;
        case Kind::StatusRequest:
            Send({CurrentStatus()});
            break;
        case Kind::Text:
            QueueCharacter(action.a);
            break;
        case Kind::Merge:
            QueueMerged(action.a, action.b);
            break;
        case Kind::BufferedPtt: {
            const bool on = action.a != 0;
            QueueCall([this, on] { k_.SetTransmit(on); });
            break;
        }
        case Kind::BufferedKey:
            if (action.a == 0) break;
            k_.QueueTune(action.a, false);
            QueueCall([] {});
            break;
        case Kind::BufferedWait: {
            const int ms = action.a * kMsPerSecond;
            if (ms == 0) break;
            QueueCall([this, ms] {
                waiting_ = true;
                waitEnd_.start(ms);
                k_.HoldFor(ms);
                UpdateStatus();
            });
            break;
        }
        case Kind::BufferedSpeed: {
            const std::uint8_t wpm = action.a;
            QueueCall([this, wpm] { BufferedSpeed(wpm); });
            break;
        }
        case Kind::CancelSpeed:
            QueueCall([this] { CancelBufferedSpeed(); });
            break;
        case Kind::Ignored:
            break;
    }
}

void WinkeyerPort::QueueCharacter(std::uint8_t ch) {
    if (buffered_ >= kWinkeyerBufferSize) {
        Log("buffer full: \"" + std::string(1, static_cast<char>(ch)) + "\" dropped");
        return;
    }
    // Characters with no Morse of their own, and the two that start macro commands in Input,
    // key nothing; they are echoed at their place all the same.
    const bool keys = ch != kHalfSpace && ch != '`' && ch != '~' &&
                      (ch == ' ' || CharToCode(ch) != CodeWordSpace);
    if (keys && !k_.QueueText(QChar(static_cast<char16_t>(ch)))) {
        Log("Input is full: \"" + std::string(1, static_cast<char>(ch)) + "\" dropped");
        return;
    }
    ++buffered_;
    QueueEcho({ch});
}

// Two letters keyed as one character, without the letter gap between them.
void WinkeyerPort::QueueMerged(std::uint8_t first, std::uint8_t second) {
    const std::uint8_t a = CharToCode(first);
    const std::uint8_t b = CharToCode(second);
    const int bBits = ElementCount(b);
    if (!KeysElements(a) || !KeysElements(b) || ElementCount(a) + bBits >= kCodeBits) {
        QueueCharacter(first);
        QueueCharacter(second);
        return;
    }
    const auto merged = static_cast<std::uint8_t>((a << bBits) | (b & ((1U << bBits) - 1U)));
    if (buffered_ >= kWinkeyerBufferSize || !k_.QueueText(QChar(QueueCodeChar(merged)))) {
        Log("buffer full: merged letters dropped");
        return;
    }
    ++buffered_;
    QueueEcho({first, second});
}

void WinkeyerPort::QueueEcho(std::vector<std::uint8_t> echo) {
    Action action;
    action.what = Action::What::Echo;
    action.run = [this, echo = std::move(echo)](bool keyed) {
        buffered_ = std::max(0, buffered_ - 1);
        if (keyed && (parser_.Settings().mode & kWinkeyerModeSerialEcho) != 0) Send(echo);
        UpdateStatus();
    };
    if (!k_.AddAction(std::move(action))) {
        --buffered_;
        Log("Input is full: an echo dropped");
        lastEcho_ = 0;
        return;
    }
    lastEcho_ = k_.LastMark();
}

void WinkeyerPort::QueueCall(std::function<void()> call) {
    Action action;
    action.what = Action::What::Call;
    ++commandsQueued_;
    action.run = [this, call = std::move(call)](bool) {
        commandsQueued_ = std::max(0, commandsQueued_ - 1);
        call();
        UpdateStatus();
    };
    if (!k_.AddAction(action)) k_.Apply(action);
    lastEcho_ = 0;
}

// The element on the air ends whole; nothing more is keyed.
void WinkeyerPort::ClearBuffer() {
    // One status for the whole clear, not one for each echo that will not come.
    holdStatus_ = true;
    k_.StopKeying();
    if (k_.Targets().engine->flags.TxHeld.load() == 0) k_.TransmitOff();
    buffered_ = 0;
    commandsQueued_ = 0;
    lastEcho_ = 0;
    keyDown_ = false;
    waiting_ = false;
    waitEnd_.stop();
    k_.SetPaused(false);
    CancelBufferedSpeed();
    holdStatus_ = false;
    UpdateStatus();
}

void WinkeyerPort::KeyImmediate(bool down) {
    if (down) {
        k_.QueueTune(kLoggerMaxTuneSeconds, true);
        k_.Flush();
        keyDown_ = true;
    } else if (keyDown_) {
        keyDown_ = false;
        k_.StopKeying();
        if (k_.Targets().engine->flags.TxHeld.load() == 0) k_.TransmitOff();
    }
    UpdateStatus();
}

void WinkeyerPort::BufferedSpeed(std::uint8_t wpm) {
    if (speedBeforeBuffered_ == 0) speedBeforeBuffered_ = k_.Targets().speed->Speed;
    SetSpeed(wpm);
}

void WinkeyerPort::CancelBufferedSpeed() {
    if (speedBeforeBuffered_ == 0) return;
    SpeedControl& speed = *k_.Targets().speed;
    settingSpeed_ = true;
    speed.Speed = speedBeforeBuffered_;
    speed.ApplySpeed(true);
    settingSpeed_ = false;
    speedBeforeBuffered_ = 0;
}

void WinkeyerPort::ApplyDefaults() {
    const WinkeyerSettings& s = parser_.Settings();
    Act({Kind::Sidetone, s.sidetone});
    SetSpeed(s.speed);
    Act({Kind::Weight, s.weight});
    SetRatio(s.ratio);
    ApplyPttTiming();
}

// The logger's lead and tail take the place of Telkey's when its PTT output is enabled.
void WinkeyerPort::ApplyPttTiming() {
    const WinkeyerSettings& s = parser_.Settings();
    if ((s.pinConfig & kWinkeyerPinPtt) == 0) {
        k_.SetPttTiming(0, 0);
        return;
    }
    k_.SetPttTiming(s.leadIn * kTenMs, s.tail * kTenMs);
}

// 0 leaves the speed to the pot: Telkey's own controls.
void WinkeyerPort::SetSpeed(std::uint8_t wpm) {
    if (wpm == 0) return;
    settingSpeed_ = true;
    k_.SetSpeedWpm(std::clamp<int>(wpm, kWinkeyerMinWpm, kWinkeyerMaxWpm));
    settingSpeed_ = false;
}

void WinkeyerPort::SetRatio(std::uint8_t ratio) {
    SpeedControl& speed = *k_.Targets().speed;
    const int wanted = std::clamp(ratio * kRatioToDashDot, kMinDashDotRatio, kMaxDashDotRatio);
    speed.DashDotRatio = (wanted + kDashDotRatioStep / 2) / kDashDotRatioStep * kDashDotRatioStep;
    settingSpeed_ = true;
    speed.ApplySpeed(false);
    settingSpeed_ = false;
}

void WinkeyerPort::Send(const std::vector<std::uint8_t>& bytes) {
    // A logger that closed the port reads nothing: its next open starts afresh.
    if (bytes.empty() || !LoggerPresent()) return;
    if (!pty_.Write(bytes.data(), bytes.size())) Log("the logger reads nothing; bytes dropped");
}

std::uint8_t WinkeyerPort::CurrentStatus() const {
    std::uint8_t status = kWinkeyerStatus;
    if (xoff_) status |= kWinkeyerStatusXoff;
    if (breakIn_) status |= kWinkeyerStatusBreakIn;
    if (buffered_ > 0 || commandsQueued_ > 0 || keyDown_ || k_.Tuning()) {
        status |= kWinkeyerStatusBusy;
    }
    if (keyDown_) status |= kWinkeyerStatusKeyDown;
    if (waiting_) status |= kWinkeyerStatusWait;
    return status;
}

// Told unsolicited on every change while the host interface is open.
void WinkeyerPort::UpdateStatus() {
    if (holdStatus_) return;
    if (buffered_ > kWinkeyerXoffAbove) xoff_ = true;
    if (buffered_ < kWinkeyerXonBelow) xoff_ = false;
    const bool busy = buffered_ > 0 || commandsQueued_ > 0;
    if (busy && !paddleWatch_.isActive()) {
        paddleSeen_ = k_.Targets().engine->keyer.PaddleCharacters();
        paddleWatch_.start();
    } else if (!busy) {
        paddleWatch_.stop();
    }
    const std::uint8_t status = CurrentStatus();
    if (status == status_) return;
    status_ = status;
    if (parser_.HostOpen()) Send({status});
}

// The operator took the paddle while the logger's text was keyed: the buffer goes, and the
// logger is told of the break-in until the paddle's character is done.
void WinkeyerPort::WatchPaddle() {
    const std::uint32_t seen = k_.Targets().engine->keyer.PaddleCharacters();
    if (seen == paddleSeen_) return;
    paddleSeen_ = seen;
    breakIn_ = true;
    ClearBuffer();
}

void WinkeyerPort::PaddleEchoed(std::uint8_t code) {
    if ((parser_.Settings().mode & kWinkeyerModePaddleEcho) != 0 && parser_.HostOpen()) {
        std::vector<std::uint8_t> letters;
        for (const char* p = CodeText(code); *p != '\0'; ++p) {
            const auto c = static_cast<std::uint8_t>(*p);
            if (c <= kLastAscii) letters.push_back(static_cast<std::uint8_t>(std::toupper(c)));
        }
        Send(letters);
    }
    if (breakIn_) {
        breakIn_ = false;
        UpdateStatus();
    }
}

// Only a change of the speed itself counts: weighting, ratio and a tune's end apply it again.
void WinkeyerPort::SpeedApplied(std::int32_t lpm) {
    const bool changed = lpm != lastLpm_;
    lastLpm_ = lpm;
    if (!changed || settingSpeed_ || !parser_.HostOpen()) return;
    Send({PotByte()});
}

std::uint8_t WinkeyerPort::PotByte() const {
    const WinkeyerSettings& s = parser_.Settings();
    const int wpm = (k_.Targets().speed->Speed + kLpmPerWpm / 2) / kLpmPerWpm;
    const int range = std::min<int>(s.potRange, kPotMax);
    const int place = std::clamp(wpm - s.potMin, 0, range);
    return static_cast<std::uint8_t>(kWinkeyerSpeedPot | place);
}

void WinkeyerPort::Log(const std::string& line) {
    if (logSink_) {
        logSink_(line);
    } else {
        std::cerr << "telkey: winkeyer: " << line << '\n';
    }
}

}  // namespace telkey
