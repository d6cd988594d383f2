#include "exchange/cwdaemon_listener.h"

#include <unistd.h>
#include <QEvent>
#include <QPlainTextEdit>
#include <algorithm>
#include <array>
#include <iostream>

#include "engine/engine.h"
#include "exchange/cwdaemon_listener_shared.h"
#include "options/speed_control.h"
#include "options/speed_table.h"
#include "transmit/queue_marks.h"
#include "transmit/transmit_queue.h"

namespace telkey {

using namespace cwdaemon_detail;

namespace {

// Enough for a burst of several hundred datagrams while the window thread is busy; the kernel
// may grant less.
constexpr int kReceiveBufferBytes = 4 << 20;
constexpr int kWatchdogMs = 1000;
// Dot lengths the longest character takes, gaps and the letter gap included, at the widest
// dash/dot ratio (7 dashes of 6 dots, 6 gaps, a letter gap of 6), with room to spare.
constexpr int kLongestCharacterDots = 64;
constexpr char kLogPrefix[] = "telkey: cwdaemon: ";

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

void CwdaemonListener::SendReply(const Reply& reply) {
    if (socket_.writeDatagram(reply.bytes, reply.peer.address, reply.peer.port) < 0) {
        Log("reply to " + PeerText(reply.peer.address, reply.peer.port) +
            " not sent: " + socket_.errorString().toStdString());
    }
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
