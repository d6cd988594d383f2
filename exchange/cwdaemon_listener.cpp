#include "exchange/cwdaemon_listener.h"

#include <unistd.h>
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
constexpr char16_t kMarkTxOff = kQueueEventFirst + 2;
constexpr char16_t kMarkTuneEnd = kQueueEventFirst + 3;
// A tune of n seconds (1..10) starts at kMarkTuneFirst + n.
constexpr char16_t kMarkTuneFirst = kQueueEventFirst + 0x10;
// Each reply or setting waiting for its place in the text has a mark of its own.
constexpr char16_t kMarkActionFirst = kQueueEventFirst + 0x100;
constexpr char16_t kMarkActionLast = kQueueEventLast;

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
    : QObject(parent), t_(targets), nextActionMark_(kMarkActionFirst) {
    connect(&socket_, &QUdpSocket::readyRead, this, &CwdaemonListener::ReadPending);
    tuneBackstop_.setSingleShot(true);
    connect(&tuneBackstop_, &QTimer::timeout, this, [this] {
        if (tuning_) Log("tune ended by its time limit");
        EndTune();
    });
    watchdog_.setInterval(kWatchdogMs);
    connect(&watchdog_, &QTimer::timeout, this, &CwdaemonListener::Watchdog);
    marks_.action = [this](char16_t mark) { MarkReached(mark); };
    // cwdaemon answers when the key goes up after the last element, not a letter gap later.
    marks_.atKeyUp = [this](char16_t mark) {
        const auto it = actions_.find(mark);
        return it != actions_.end() && it->second.what == Action::What::Reply;
    };
    keyUpPoll_.setSingleShot(true);
    connect(&keyUpPoll_, &QTimer::timeout, this, [this] { t_.queue->FeedKeyer(); });
    marks_.waitingForKeyUp = [this] {
        if (!keyUpPoll_.isActive()) keyUpPoll_.start(1);
    };
    marks_.drained = [this] { Drained(); };
    leadIn_.setSingleShot(true);
    connect(&leadIn_, &QTimer::timeout, this, [this] {
        // The keyer's own tick count decides; a timer that fired early looks again.
        if (t_.engine->keyer.TickCount() < marks_.HoldTick()) {
            leadIn_.start(1);
        } else {
            t_.queue->FeedKeyer();
        }
    });
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
        // After the window's own activation handler has run the start-up: then the requests
        // that came meanwhile are read, in order.
        QTimer::singleShot(0, this, [this] {
            if (!captured_ && t_.engine->timer.TimerId() != 0) {
                CaptureStartupSettings();
                ReadPending();
            }
        });
    }
    return QObject::eventFilter(watched, event);
}

void CwdaemonListener::ReadPending() {
    // Before the keyer runs the kernel keeps the datagrams; they are read once it does.
    if (t_.engine->timer.TimerId() == 0) return;
    if (!captured_) CaptureStartupSettings();
    std::array<char, kCwdaemonMaxRequest + 1> buffer;
    // A batch mostly comes from one client: its socket is looked up once.
    QHostAddress checkedPeer;
    quint16 checkedPort = 0;
    bool checkedOwn = false;
    for (int n = 0; n < kCwdaemonReadBatch && socket_.hasPendingDatagrams(); ++n) {
        QHostAddress peer;
        quint16 peerPort = 0;
        const qint64 got = socket_.readDatagram(buffer.data(), buffer.size(), &peer, &peerPort);
        if (got < 0) break;
        if (!allowAnyUser_) {
            if (n == 0 || peer != checkedPeer || peerPort != checkedPort) {
                checkedPeer = peer;
                checkedPort = peerPort;
                checkedOwn = FromOwnUser(peer, peerPort);
            }
            if (!checkedOwn) {
                ++requestsHandled_;
                continue;
            }
        }
        const auto size = std::min<std::size_t>(static_cast<std::size_t>(got), kCwdaemonMaxRequest);
        HandleDatagram(std::string_view(buffer.data(), size), got > qint64{kCwdaemonMaxRequest},
                       peer, peerPort);
    }
    Flush();
}

// The sending socket must be one of this user's: another user of the machine cannot key.
bool CwdaemonListener::FromOwnUser(const QHostAddress& peer, std::uint16_t peerPort) {
    UdpEndpoint from;
    bool isV4 = false;
    const quint32 v4 = peer.toIPv4Address(&isV4);
    if (isV4) {
        from = UdpEndpointV4(v4, peerPort);
    } else {
        const Q_IPV6ADDR v6 = peer.toIPv6Address();
        std::copy(std::begin(v6.c), std::end(v6.c), from.address.begin());
        from.port = peerPort;
    }
    const std::vector<std::uint32_t> owners = UdpSocketOwners(from, procNet_);
    const auto self = static_cast<std::uint32_t>(::geteuid());
    if (!owners.empty() &&
        std::all_of(owners.begin(), owners.end(), [&](std::uint32_t o) { return o == self; })) {
        return true;
    }
    Log("datagram from " + PeerText(peer, peerPort) + " refused: " +
        (owners.empty() ? std::string("its socket is gone, so its user is unknown")
                        : "it belongs to uid " + std::to_string(owners.front())) +
        " (see --cwdaemon-allow)");
    return false;
}

void CwdaemonListener::HandleDatagram(std::string_view bytes, bool cut, const QHostAddress& peer,
                                      std::uint16_t peerPort) {
    ++requestsHandled_;
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
            Setting(Action::What::Speed, request.value);
            break;
        case Kind::Tone:
            Setting(Action::What::Tone, request.value);
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
            Setting(Action::What::Weighting, request.value);
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
        case Kind::PttDelay:
            pttDelayMs_ = request.value;
            break;
        case Kind::NoEffect:
            break;
    }
}

// A setting acts on the text sent after it: at once when nothing waits to be keyed, else at
// its place in the queue.
void CwdaemonListener::Setting(Action::What what, std::int32_t value) {
    Action action;
    action.what = what;
    action.value = value;
    if (QueueIdle() || !AddAction(action)) Apply(action);
}

void CwdaemonListener::Apply(const Action& action) {
    switch (action.what) {
        case Action::What::Reply:
            SendReply(action.reply);
            break;
        case Action::What::SpeedStep:
            ChangeSpeed(action.value);
            break;
        case Action::What::Speed:
            SetSpeedWpm(action.value);
            break;
        case Action::What::Tone:
            SetTone(action.value);
            break;
        case Action::What::Weighting:
            SetWeighting(action.value);
            break;
    }
}

int CwdaemonListener::PendingReplies() const {
    return static_cast<int>(std::count_if(actions_.begin(), actions_.end(), [](const auto& a) {
        return a.second.what == Action::What::Reply;
    }));
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

    const qsizetype before = pendingText_.size();
    std::size_t dropped = 0;
    for (std::size_t i = first; i < request.items.size(); ++i) {
        const Item& item = request.items[i];
        if (InputRoom() < 1) {
            ++dropped;
            continue;
        }
        switch (item.kind) {
            case Item::Kind::Char:
                pendingText_.append(QChar(static_cast<char16_t>(item.value)));
                break;
            case Item::Kind::Prosign:
                pendingText_.append(ProsignChar(item.value));
                break;
            case Item::Kind::SpeedUp:
            case Item::Kind::SpeedDown: {
                Action step;
                step.what = Action::What::SpeedStep;
                step.value = item.kind == Item::Kind::SpeedUp ? kCwdaemonSpeedStepLpm
                                                              : -kCwdaemonSpeedStepLpm;
                if (!AddAction(step)) Apply(step);
                break;
            }
        }
    }
    const bool whole = dropped == 0;
    if (!whole) {
        Log("Input is full: " + std::to_string(dropped) + " of " +
            std::to_string(request.items.size() - first) + " characters of a request from " +
            PeerText(peer.address, peer.port) + " dropped");
    }
    if (pendingText_.size() != before) pendingTx_ = true;
    for (Reply& reply : replies) {
        // A reply follows its text only when all of it will be keyed.
        Action answer;
        answer.reply = reply;
        if (whole && AddAction(answer)) continue;
        SendReply({kBreakReply, reply.peer});
    }
}

void CwdaemonListener::Reset() {
    wordMode_ = false;
    pttDelayMs_ = 0;
    StopKeying();
    t_.engine->flags.TxHeld.store(0);
    TransmitOffAfterKeyUp();
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
    StopKeying();
    // A client that switched transmit on holds it until it switches it off.
    if (t_.engine->flags.TxHeld.load() == 0) TransmitOffAfterKeyUp();
}

// Nothing more is keyed than the character on the air, which is keyed to its end. Settings
// queued behind the text take effect as they would have once it was keyed; replies get break.
void CwdaemonListener::StopKeying() {
    BreakReplies();
    std::vector<char16_t> order;
    const QTextDocument* doc = t_.Input->document();
    for (int i = 0, n = InputLength(t_.Input); i < n; ++i) {
        if (const char16_t mark = TransmitQueue::MarkAt(doc, i); actions_.count(mark) != 0) {
            order.push_back(mark);
        }
    }
    for (const QChar c : pendingText_) {
        if (actions_.count(c.unicode()) != 0) order.push_back(c.unicode());
    }
    ClearQueue();
    leadIn_.stop();
    marks_.HoldUntil(0);
    if (t_.engine->mailbox.Withdraw()) marks_.Withdrawn();
    EndTune();
    for (const char16_t mark : order) {
        const auto it = actions_.find(mark);
        if (it == actions_.end()) continue;
        const Action action = it->second;
        actions_.erase(it);
        Apply(action);
    }
}

// Transmit goes off when the key is up for good: at once when nothing is being keyed, else
// once the character on the air has been keyed.
void CwdaemonListener::TransmitOffAfterKeyUp() {
    ownTx_ = false;
    if (marks_.Keyed()) {
        txOffWhenKeyed_ = false;
        t_.tx->SetTxButton(false);
        t_.tx->ApplyTx();
        return;
    }
    txOffWhenKeyed_ = true;
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
        // Held on until the client switches it off: silence and an empty queue do not end it.
        t_.engine->flags.TxHeld.store(1);
        ownTx_ = false;
        t_.tx->SetTxButton(true);
        t_.tx->ApplyTx();
        return;
    }
    t_.engine->flags.TxHeld.store(0);
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
    if (pendingTx_ && pttDelayMs_ > 0 && t_.engine->flags.Transmitting.load() == 0) {
        // Held back from PTT on: set before the text goes in, which may switch PTT on itself.
        const int tickMs = std::max(1, t_.engine->keyerSettings.TickMs.load());
        const int ticks = (pttDelayMs_ + tickMs - 1) / tickMs;
        marks_.HoldUntil(t_.engine->keyer.TickCount() + static_cast<std::uint64_t>(ticks));
        leadIn_.start(pttDelayMs_);
    }
    if (!pendingText_.isEmpty()) {
        const QString text = pendingText_;
        pendingText_.clear();
        t_.queue->AppendWithMarks(text);
    }
    if (pendingTx_) {
        pendingTx_ = false;
        const bool wasOn = t_.engine->flags.Transmitting.load() != 0;
        if (!wasOn) {
            // Without MOX nothing else would end a transmission the request starts.
            ownTx_ =
                t_.engine->keyerSettings.MoxOn.load() == 0 && t_.engine->flags.TxHeld.load() == 0;
        }
        t_.tx->TransmitOnCommand();
    }
}

// Everything has been keyed: a transmission a request started ends as the receive command
// would end it, and so does one an abort ended while a character was on the air.
void CwdaemonListener::Drained() {
    if (t_.engine->flags.TxHeld.load() != 0) {
        txOffWhenKeyed_ = false;
        return;
    }
    if (!ownTx_ && !txOffWhenKeyed_) return;
    ownTx_ = false;
    txOffWhenKeyed_ = false;
    if (t_.engine->flags.Transmitting.load() == 0) return;
    t_.tx->SetTxButton(false);
    t_.tx->ApplyTx();
}

void CwdaemonListener::ClearQueue() {
    pendingText_.clear();
    pendingTx_ = false;
    t_.Input->clear();
}

void CwdaemonListener::MarkReached(char16_t mark) {
    if (mark == kMarkTxOff) {
        t_.tx->SetTxButton(false);
        t_.tx->ApplyTx();
    } else if (mark == kMarkTuneEnd) {
        EndTune();
    } else if (mark > kMarkTuneFirst && mark <= kMarkTuneFirst + kCwdaemonMaxTuneSeconds) {
        StartTune(mark - kMarkTuneFirst);
    } else if (const auto it = actions_.find(mark); it != actions_.end()) {
        const Action action = it->second;
        actions_.erase(it);
        if (action.what == Action::What::Reply) {
            // cwdaemon keeps one reply: a newer one of the same client due at the same key-up
            // takes its place.
            const char16_t next = TransmitQueue::MarkAt(t_.Input->document(), 0);
            const auto later = actions_.find(next);
            if (later != actions_.end() && later->second.what == Action::What::Reply &&
                later->second.reply.peer.address == action.reply.peer.address &&
                later->second.reply.peer.port == action.reply.peer.port) {
                return;
            }
        }
        Apply(action);
    }
}

bool CwdaemonListener::AddAction(Action action) {
    if (InputRoom() < 1) return false;
    constexpr int kMarks = kMarkActionLast - kMarkActionFirst + 1;
    for (int i = 0; i < kMarks; ++i) {
        const char16_t mark = nextActionMark_;
        nextActionMark_ =
            mark == kMarkActionLast ? kMarkActionFirst : static_cast<char16_t>(mark + 1);
        if (actions_.count(mark) != 0) continue;
        action.order = nextOrder_++;
        actions_.emplace(mark, std::move(action));
        pendingText_.append(QChar(mark));
        return true;
    }
    Log("too many requests waiting for their place in the text; this one acts at once");
    return false;
}

void CwdaemonListener::SendReply(const Reply& reply) {
    if (socket_.writeDatagram(reply.bytes, reply.peer.address, reply.peer.port) < 0) {
        Log("reply to " + PeerText(reply.peer.address, reply.peer.port) +
            " not sent: " + socket_.errorString().toStdString());
    }
}

void CwdaemonListener::BreakReplies() {
    for (auto it = actions_.begin(); it != actions_.end();) {
        if (it->second.what != Action::What::Reply) {
            ++it;
            continue;
        }
        SendReply({kBreakReply, it->second.reply.peer});
        it = actions_.erase(it);
    }
    if (armed_) {
        SendReply({kBreakReply, armed_->peer});
        armed_.reset();
    }
}

void CwdaemonListener::ScheduleReconcile() {
    if (reconcileScheduled_ || (actions_.empty() && !tuning_)) return;
    reconcileScheduled_ = true;
    // After the change that raised this has run its course: a mark cut by FeedKeyer has
    // acted by then.
    QTimer::singleShot(0, this, &CwdaemonListener::Reconcile);
}

// Marks that left Input without being reached (the operator cleared or edited it): their
// replies are answered with break, their settings take effect in the order they came, and a
// tune waiting for its end mark ends.
void CwdaemonListener::Reconcile() {
    reconcileScheduled_ = false;
    if (actions_.empty() && !tuning_) return;
    std::set<char16_t> present;
    for (const QChar c : pendingText_) {
        if (IsQueueEventMark(c.unicode())) present.insert(c.unicode());
    }
    const QTextDocument* doc = t_.Input->document();
    for (int i = 0, n = InputLength(t_.Input); i < n; ++i) {
        const char16_t mark = TransmitQueue::MarkAt(doc, i);
        if (IsQueueEventMark(mark)) present.insert(mark);
    }
    std::vector<Action> gone;
    for (auto it = actions_.begin(); it != actions_.end();) {
        if (present.count(it->first) != 0) {
            ++it;
            continue;
        }
        if (it->second.what == Action::What::Reply) {
            SendReply({kBreakReply, it->second.reply.peer});
        } else {
            gone.push_back(it->second);
        }
        it = actions_.erase(it);
    }
    std::sort(gone.begin(), gone.end(),
              [](const Action& a, const Action& b) { return a.order < b.order; });
    for (const Action& action : gone) Apply(action);
    if (tuning_ && present.count(kMarkTuneEnd) == 0) EndTune();
}

void CwdaemonListener::Watchdog() {
    // Requests that came before the keyer ran are read once it runs.
    if (t_.engine->timer.TimerId() != 0 && socket_.hasPendingDatagrams()) ReadPending();
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
