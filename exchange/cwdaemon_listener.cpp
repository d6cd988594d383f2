#include "exchange/cwdaemon_listener.h"

#include <QAbstractButton>
#include <QEvent>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QTextDocument>
#include <algorithm>
#include <array>
#include <iostream>
#include <set>

#include "engine/codepage1251.h"
#include "engine/engine.h"
#include "engine/morse_tables.h"
#include "options/speed_control.h"
#include "options/speed_table.h"
#include "transmit/macro_expansion.h"
#include "transmit/queue_marks.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"

namespace telkey {
namespace {

using Kind = CwdaemonRequestKind;
using Item = CwdaemonTextItem;

// The listener's event marks in the transmit queue.
constexpr char16_t kMarkSpeedUp = kQueueEventFirst;
constexpr char16_t kMarkSpeedDown = kQueueEventFirst + 1;
constexpr char16_t kMarkTxOff = kQueueEventFirst + 2;
constexpr char16_t kMarkTuneEnd = kQueueEventFirst + 3;
// A tune of n seconds (1..10) starts at kMarkTuneFirst + n.
constexpr char16_t kMarkTuneFirst = kQueueEventFirst + 0x10;
// Each reply waiting for its text to be keyed has a mark of its own.
constexpr char16_t kMarkReplyFirst = kQueueEventFirst + 0x100;
constexpr char16_t kMarkReplyLast = kQueueEventLast;

// Enough for a burst of several hundred datagrams while the window thread is busy; the kernel
// may grant less.
constexpr int kReceiveBufferBytes = 4 << 20;
constexpr int kWatchdogMs = 1000;
// Dot lengths the longest character takes, gaps and the letter gap included, at the widest
// dash/dot ratio (7 dashes of 6 dots, 6 gaps, a letter gap of 6), with room to spare.
constexpr int kLongestCharacterDots = 64;
constexpr int kTuneBackstopMarginMs = 500;
constexpr char kReplyEnd[] = "\r\n";
constexpr char kBreakReply[] = "break\r\n";
constexpr char kLogPrefix[] = "telkey: cwdaemon: ";

// The Input character that keys a code number: a character of the Morse table where one gives
// that code, else the queue's code character.
QChar ProsignChar(std::uint8_t code) {
    static const std::array<char16_t, 256> table = [] {
        std::array<char16_t, 256> t{};
        for (int b = 0x21; b <= 0xFF; ++b) {
            const auto byte = static_cast<std::uint8_t>(b);
            // These two start macro commands in Input.
            if (byte == '`' || byte == '~') continue;
            const std::uint8_t c = CharToCode(byte);
            if (c != CodeWordSpace && t[c] == 0) {
                t[c] = static_cast<char16_t>(Cp1251ToUnicode(byte));
            }
        }
        return t;
    }();
    return QChar(table[code] != 0 ? table[code] : QueueCodeChar(code));
}

int InputLength(const QPlainTextEdit* input) {
    return input->document()->characterCount() - 1;
}

std::string PeerText(const QHostAddress& address, std::uint16_t port) {
    return address.toString().toStdString() + ":" + std::to_string(port);
}

}  // namespace

CwdaemonListener::CwdaemonListener(const CwdaemonTargets& targets, QObject* parent)
    : QObject(parent), t_(targets), nextReplyMark_(kMarkReplyFirst) {
    connect(&socket_, &QUdpSocket::readyRead, this, &CwdaemonListener::ReadPending);
    tuneBackstop_.setSingleShot(true);
    connect(&tuneBackstop_, &QTimer::timeout, this, [this] {
        if (tuning_) Log("tune ended by its time limit");
        EndTune();
    });
    watchdog_.setInterval(kWatchdogMs);
    connect(&watchdog_, &QTimer::timeout, this, &CwdaemonListener::Watchdog);
    marks_.action = [this](char16_t mark) { MarkReached(mark); };
    t_.queue->SetQueueMarks(&marks_);
    connect(t_.Input, &QPlainTextEdit::textChanged, this, &CwdaemonListener::ScheduleReconcile);
}

CwdaemonListener::~CwdaemonListener() {
    t_.queue->SetQueueMarks(nullptr);
    // The key must not stay down with a stretched dot when the listener goes.
    EndTune();
}

bool CwdaemonListener::Listen(const QHostAddress& address, std::uint16_t port, std::string& error) {
    // Without DontShareAddress a second keyer could bind the same port and take half the text.
    if (!socket_.bind(address, port, QAbstractSocket::DontShareAddress)) {
        error = "cannot listen on " + PeerText(address, port) + ": " +
                socket_.errorString().toStdString();
        return false;
    }
    socket_.setSocketOption(QAbstractSocket::ReceiveBufferSizeSocketOption, kReceiveBufferBytes);
    watchdog_.start();
    return true;
}

std::uint16_t CwdaemonListener::LocalPort() const {
    return socket_.localPort();
}

void CwdaemonListener::CaptureStartupSettings() {
    captured_ = true;
    startSpeed_ = t_.speed->Speed;
    startWeighting_ = t_.speed->Weighting;
    startTone_ = t_.engine->portSettings.SpeakerTone.load();
}

void CwdaemonListener::WatchActivation(QObject* window) {
    window->installEventFilter(this);
}

bool CwdaemonListener::eventFilter(QObject* watched, QEvent* event) {
    const bool activated =
        event->type() == QEvent::WindowActivate || event->type() == QEvent::ActivationChange;
    if (activated && !captured_) {
        // After the window's own activation handler has run the start-up.
        QTimer::singleShot(0, this, [this] {
            if (!captured_ && t_.engine->timer.TimerId() != 0) CaptureStartupSettings();
        });
    }
    return QObject::eventFilter(watched, event);
}

void CwdaemonListener::ReadPending() {
    std::array<char, kCwdaemonMaxRequest + 1> buffer;
    for (int n = 0; n < kCwdaemonReadBatch && socket_.hasPendingDatagrams(); ++n) {
        QHostAddress peer;
        quint16 peerPort = 0;
        const qint64 got = socket_.readDatagram(buffer.data(), buffer.size(), &peer, &peerPort);
        if (got < 0) break;
        const auto size = std::min<std::size_t>(static_cast<std::size_t>(got), kCwdaemonMaxRequest);
        HandleDatagram(std::string_view(buffer.data(), size), got > qint64{kCwdaemonMaxRequest},
                       peer, peerPort);
    }
    Flush();
}

void CwdaemonListener::HandleDatagram(std::string_view bytes, bool cut, const QHostAddress& peer,
                                      std::uint16_t peerPort) {
    ++requestsHandled_;
    if (t_.engine->timer.TimerId() == 0) {
        Log("request ignored: the keyer has not started yet");
        return;
    }
    if (!captured_) CaptureStartupSettings();
    if (cut) {
        Log("request longer than " + std::to_string(kCwdaemonMaxRequest) + " bytes cut there: \"" +
            PrintableBytes(bytes) + "\"");
    }
    Handle(ParseCwdaemonRequest(bytes), Peer{peer, peerPort});
}

void CwdaemonListener::Handle(const CwdaemonRequest& request, const Peer& peer) {
    switch (request.kind) {
        case Kind::Ignored:
            Log(request.detail + " from " + PeerText(peer.address, peer.port) + ": ignored");
            break;
        case Kind::Text:
            HandleText(request, peer);
            break;
        case Kind::Reset:
            Reset();
            break;
        case Kind::Speed:
            SetSpeedWpm(request.value);
            break;
        case Kind::Tone:
            SetTone(request.value);
            break;
        case Kind::Abort:
            Abort();
            break;
        case Kind::Exit:
            Log("request to end the program refused; Telkey ends from its window only");
            break;
        case Kind::WordMode:
            wordMode_ = true;
            break;
        case Kind::Weighting:
            SetWeighting(request.value);
            break;
        case Kind::Device:
            Log("request for keying device \"" + request.detail +
                "\" ignored; Telkey keys through its own ports (see --ports)");
            break;
        case Kind::SoundSystem:
            Log("request for sound system \"" + request.detail +
                "\" ignored; the sidetone is Telkey's own (Speaker button)");
            break;
        case Kind::Transmit:
            SetTransmit(request.value != 0);
            break;
        case Kind::Tune:
            QueueTune(request.value);
            break;
        case Kind::ArmReply:
            armed_ = Reply{
                QByteArray("h") + QByteArray::fromStdString(request.replyText) + kReplyEnd, peer};
            break;
        case Kind::NoEffect:
            break;
    }
}

void CwdaemonListener::HandleText(const CwdaemonRequest& request, const Peer& peer) {
    std::vector<Reply> replies;
    if (armed_) {
        replies.push_back(*armed_);
        armed_.reset();
    }
    if (request.caretReply) {
        replies.push_back({QByteArray::fromStdString(request.replyText) + kReplyEnd, peer});
    }

    // Speed changes before the first character take effect at once when nothing is queued.
    const bool idle = QueueIdle();
    std::size_t first = 0;
    for (; idle && first < request.items.size(); ++first) {
        const Item& item = request.items[first];
        if (item.kind == Item::Kind::SpeedUp) {
            ChangeSpeed(kCwdaemonSpeedStepLpm);
        } else if (item.kind == Item::Kind::SpeedDown) {
            ChangeSpeed(-kCwdaemonSpeedStepLpm);
        } else {
            break;
        }
    }
    if (idle && first == request.items.size()) {
        for (const Reply& reply : replies) SendReply(reply);
        return;
    }

    QString text;
    for (std::size_t i = first; i < request.items.size(); ++i) {
        const Item& item = request.items[i];
        switch (item.kind) {
            case Item::Kind::Char:
                text.append(QChar(static_cast<char16_t>(item.value)));
                break;
            case Item::Kind::Prosign:
                text.append(ProsignChar(item.value));
                break;
            case Item::Kind::SpeedUp:
                text.append(QChar(kMarkSpeedUp));
                break;
            case Item::Kind::SpeedDown:
                text.append(QChar(kMarkSpeedDown));
                break;
        }
    }
    const int room = InputRoom();
    const bool whole = text.size() <= room;
    if (!whole) {
        Log("Input is full: " + std::to_string(text.size() - room) + " of " +
            std::to_string(text.size()) + " characters of a request from " +
            PeerText(peer.address, peer.port) + " dropped");
        text.truncate(room);
    }
    pendingText_ += text;
    if (!text.isEmpty()) pendingTx_ = true;
    for (Reply& reply : replies) {
        // A reply follows its text only when all of it will be keyed.
        if (whole && AddReply(reply)) continue;
        SendReply({kBreakReply, reply.peer});
    }
}

void CwdaemonListener::Reset() {
    wordMode_ = false;
    BreakReplies();
    ClearQueue();
    EndTune();
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
    t_.speed->Speed = startSpeed_;
    t_.speed->Weighting = startWeighting_;
    t_.speed->ApplySpeed(true);
    SetTone(startTone_);
}

void CwdaemonListener::Abort() {
    if (wordMode_) {
        Log("abort ignored in word mode (a reset ends word mode)");
        return;
    }
    BreakReplies();
    ClearQueue();
    EndTune();
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
}

void CwdaemonListener::SetSpeedWpm(std::int32_t wpm) {
    EndTune();
    t_.speed->Speed = wpm * kLpmPerWpm;
    t_.speed->ApplySpeed(true);
}

void CwdaemonListener::ChangeSpeed(std::int32_t deltaLpm) {
    EndTune();
    t_.speed->Speed += deltaLpm;
    t_.speed->ApplySpeed(true);
}

void CwdaemonListener::SetTone(std::int32_t hz) {
    PortSettings& ports = t_.engine->portSettings;
    if (hz == 0) {
        // The sidetone goes quiet; the key line goes on keying.
        if (ports.UseSpeaker.load() != 0) {
            ports.UseSpeaker.store(0);
            t_.SpeakerButton->setChecked(false);
            silencedByTone_ = true;
        }
        return;
    }
    ports.SpeakerTone.store(hz);
    ports.ToneDivisor.store(ToneDivisor(hz));
    if (silencedByTone_) {
        silencedByTone_ = false;
        ports.UseSpeaker.store(1);
        t_.SpeakerButton->setChecked(true);
    }
}

void CwdaemonListener::SetWeighting(std::int32_t percent) {
    const int row = std::clamp(t_.speed->SpeedIndex, kSlowestRow, kFastestRow);
    EndTune();
    t_.speed->Weighting = percent * kSpeedTable[row].dotMs / 100;
    t_.speed->ApplySpeed(false);
}

void CwdaemonListener::SetTransmit(bool on) {
    if (on) {
        t_.tx->SetTxButton(true);
        t_.tx->ApplyTx();
        return;
    }
    // Off once what is queued has been keyed.
    if (t_.engine->flags.Transmitting.load() != 0 || pendingTx_) {
        if (!QueueMark(kMarkTxOff)) Log("Input is full: transmit off request dropped");
        return;
    }
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
}

void CwdaemonListener::QueueTune(std::int32_t seconds) {
    if (seconds == 0) {
        EndTune();
        return;
    }
    if (InputRoom() < 2) {
        Log("Input is full: tune request dropped");
        return;
    }
    QueueMark(static_cast<char16_t>(kMarkTuneFirst + seconds));
    QueueMark(kMarkTuneEnd);
    pendingTx_ = true;
}

// Runs where the tune's mark reached the front of Input: everything before it has been keyed
// and the mailbox is empty. The keyer keys one dot whose key-down lasts the whole tune: a
// weighting of w ticks on a dot of w + 1 keeps the key down 2w + 1 ticks and leaves a gap of one
// tick, after which the usual letter gap follows. The keyer thus owns the key line throughout
// and lets it go by itself; the mark behind the tune puts the speed back once the dot's echo
// is in, before anything else is handed over.
void CwdaemonListener::StartTune(std::int32_t seconds) {
    KeyerSettings& keyer = t_.engine->keyerSettings;
    const int tickMs = std::max(1, keyer.TickMs.load());
    const int ticks = seconds * 1000 / tickMs;
    const int weight = std::max(0, (ticks - 1) / 2);
    const int letterGapMs = keyer.DashTicks.load() * tickMs;
    keyer.WeightTicks.store(weight);
    keyer.DotTicks.store(weight + 1);
    if (!t_.engine->mailbox.Fill(kTuneCode)) {
        t_.speed->ApplySpeed(false);
        Log("tune dropped: the keyer's mailbox was not empty");
        return;
    }
    marks_.Handed(kTuneCode);
    tuning_ = true;
    tuneBackstop_.start(seconds * 1000 + letterGapMs + kTuneBackstopMarginMs);
}

void CwdaemonListener::EndTune() {
    if (!tuning_) return;
    tuning_ = false;
    tuneBackstop_.stop();
    t_.speed->ApplySpeed(false);
}

bool CwdaemonListener::QueueIdle() const {
    return InputLength(t_.Input) == 0 && pendingText_.isEmpty() &&
           t_.engine->mailbox.NextCodeEmpty() && marks_.Keyed() && !tuning_;
}

int CwdaemonListener::InputRoom() const {
    return std::max(0, static_cast<int>(kInputMaxLength) - InputLength(t_.Input) -
                           static_cast<int>(pendingText_.size()));
}

bool CwdaemonListener::QueueMark(char16_t mark) {
    if (InputRoom() < 1) return false;
    pendingText_.append(QChar(mark));
    return true;
}

void CwdaemonListener::Flush() {
    if (!pendingText_.isEmpty()) {
        const QString text = pendingText_;
        pendingText_.clear();
        QTextCursor end(t_.Input->document());
        end.movePosition(QTextCursor::End);
        end.insertText(text);
    }
    if (pendingTx_) {
        pendingTx_ = false;
        t_.tx->TransmitOnCommand();
    }
}

void CwdaemonListener::ClearQueue() {
    pendingText_.clear();
    pendingTx_ = false;
    t_.Input->clear();
}

void CwdaemonListener::MarkReached(char16_t mark) {
    if (mark == kMarkSpeedUp) {
        ChangeSpeed(kCwdaemonSpeedStepLpm);
    } else if (mark == kMarkSpeedDown) {
        ChangeSpeed(-kCwdaemonSpeedStepLpm);
    } else if (mark == kMarkTxOff) {
        t_.tx->SetTxButton(false);
        t_.tx->ApplyTx();
    } else if (mark == kMarkTuneEnd) {
        EndTune();
    } else if (mark > kMarkTuneFirst && mark <= kMarkTuneFirst + kCwdaemonMaxTuneSeconds) {
        StartTune(mark - kMarkTuneFirst);
    } else if (const auto it = replies_.find(mark); it != replies_.end()) {
        const Reply reply = it->second;
        replies_.erase(it);
        SendReply(reply);
    }
}

bool CwdaemonListener::AddReply(Reply reply) {
    if (InputRoom() < 1) return false;
    constexpr int kMarks = kMarkReplyLast - kMarkReplyFirst + 1;
    for (int i = 0; i < kMarks; ++i) {
        const char16_t mark = nextReplyMark_;
        nextReplyMark_ = mark == kMarkReplyLast ? kMarkReplyFirst : static_cast<char16_t>(mark + 1);
        if (replies_.count(mark) != 0) continue;
        replies_.emplace(mark, std::move(reply));
        pendingText_.append(QChar(mark));
        return true;
    }
    Log("too many replies waiting; this one is answered at once with break");
    return false;
}

void CwdaemonListener::SendReply(const Reply& reply) {
    if (socket_.writeDatagram(reply.bytes, reply.peer.address, reply.peer.port) < 0) {
        Log("reply to " + PeerText(reply.peer.address, reply.peer.port) +
            " not sent: " + socket_.errorString().toStdString());
    }
}

void CwdaemonListener::BreakReplies() {
    for (const auto& [mark, reply] : replies_) SendReply({kBreakReply, reply.peer});
    replies_.clear();
    if (armed_) {
        SendReply({kBreakReply, armed_->peer});
        armed_.reset();
    }
}

void CwdaemonListener::ScheduleReconcile() {
    if (reconcileScheduled_ || (replies_.empty() && !tuning_)) return;
    reconcileScheduled_ = true;
    // After the change that raised this has run its course: a mark cut by FeedKeyer has
    // acted by then.
    QTimer::singleShot(0, this, &CwdaemonListener::Reconcile);
}

// Marks that left Input without being reached (the operator cleared or edited it): their
// replies are answered with break, and a tune waiting for its end mark ends.
void CwdaemonListener::Reconcile() {
    reconcileScheduled_ = false;
    if (replies_.empty() && !tuning_) return;
    std::set<char16_t> present;
    const QString text = t_.Input->toPlainText() + pendingText_;
    for (const QChar c : text) {
        if (IsQueueEventMark(c.unicode())) present.insert(c.unicode());
    }
    for (auto it = replies_.begin(); it != replies_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        SendReply({kBreakReply, it->second.peer});
        it = replies_.erase(it);
    }
    if (tuning_ && present.count(kMarkTuneEnd) == 0) EndTune();
}

void CwdaemonListener::Watchdog() {
    if (!captured_ && t_.engine->timer.TimerId() != 0) CaptureStartupSettings();
    if (logSuppressed_ > 0 &&
        std::chrono::steady_clock::now() - logWindow_ >= std::chrono::seconds(1)) {
        FlushLogSummary();
    }
    // An echo that will never come (a word space cut short by the paddle) must not hold the
    // marks in Input for ever.
    const std::uint64_t activity = marks_.Activity();
    if (tuning_ || marks_.Keyed() || activity != lastActivity_) {
        lastActivity_ = activity;
        quietSeconds_ = 0;
        return;
    }
    const int row = std::clamp(t_.speed->SpeedIndex, kSlowestRow, kFastestRow);
    const int limitSeconds = kLongestCharacterDots * kSpeedTable[row].dotMs / 1000 + 1;
    if (++quietSeconds_ > limitSeconds) {
        quietSeconds_ = 0;
        marks_.Forget();
        Log("the keyer has echoed nothing for " + std::to_string(limitSeconds) +
            " s; the marks in Input go on");
    }
}

void CwdaemonListener::Log(const std::string& line) {
    const auto now = std::chrono::steady_clock::now();
    if (now - logWindow_ >= std::chrono::seconds(1)) {
        FlushLogSummary();
        logWindow_ = now;
        logLines_ = 0;
    }
    if (logLines_ >= kCwdaemonLogLinesPerSecond) {
        ++logSuppressed_;
        return;
    }
    ++logLines_;
    if (logSink_) {
        logSink_(line);
    } else {
        std::cerr << kLogPrefix << line << '\n';
    }
}

void CwdaemonListener::FlushLogSummary() {
    if (logSuppressed_ == 0) return;
    const std::string line = std::to_string(logSuppressed_) + " more lines left out";
    logSuppressed_ = 0;
    logLines_ = 0;
    logWindow_ = std::chrono::steady_clock::now();
    if (logSink_) {
        logSink_(line);
    } else {
        std::cerr << kLogPrefix << line << '\n';
    }
}

}  // namespace telkey
