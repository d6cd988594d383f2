#include "exchange/cwdaemon_listener.h"

#include <net/if.h>
#include <netinet/in.h>
#include <QEvent>
#include <QPlainTextEdit>
#include <algorithm>
#include <cstring>
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

constexpr int kWatchdogMs = 1000;
// Dot lengths the longest character takes, gaps and the letter gap included, at the widest
// dash/dot ratio (7 dashes of 6 dots, 6 gaps, a letter gap of 6), with room to spare.
constexpr int kLongestCharacterDots = 64;
constexpr char kLogPrefix[] = "telkey: cwdaemon: ";

}  // namespace

CwdaemonListener::CwdaemonListener(const CwdaemonTargets& targets, QObject* parent)
    : QObject(parent), t_(targets), nextActionMark_(kMarkActionFirst) {
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
        return it != actions_.end() && (it->second.what == Action::What::Reply ||
                                        it->second.what == Action::What::TransmitOff);
    };
    keyUpPoll_.setSingleShot(true);
    connect(&keyUpPoll_, &QTimer::timeout, this, [this] { t_.queue->FeedKeyer(); });
    marks_.waitingForKeyUp = [this] {
        if (!keyUpPoll_.isActive()) keyUpPoll_.start(1);
    };
    marks_.drained = [this] { Drained(); };
    marks_.lastHanded = [this] { LastHanded(); };
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
    // No wake-up is posted to the listener once it goes.
    receiver_.Stop();
    t_.queue->SetQueueMarks(nullptr);
    // The logger's PTT lead goes with it.
    t_.engine->keyerSettings.PttLeadMs.store(0);
    // The key must not stay down with a stretched dot when the listener goes.
    EndTune();
}

bool CwdaemonListener::Listen(const QHostAddress& address, std::uint16_t port, std::string& error) {
    sockaddr_storage where{};
    socklen_t size = 0;
    // QHostAddress::Any takes IPv4 and IPv6 on one IPv6 socket.
    const bool dualStack = address == QHostAddress::Any;
    if (address.protocol() == QAbstractSocket::IPv4Protocol) {
        auto& a = reinterpret_cast<sockaddr_in&>(where);
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(address.toIPv4Address());
        size = sizeof a;
    } else {
        auto& a = reinterpret_cast<sockaddr_in6&>(where);
        a.sin6_family = AF_INET6;
        a.sin6_port = htons(port);
        const Q_IPV6ADDR bytes = dualStack ? Q_IPV6ADDR{} : address.toIPv6Address();
        std::memcpy(&a.sin6_addr, bytes.c, sizeof bytes.c);
        a.sin6_scope_id = ::if_nametoindex(address.scopeId().toStdString().c_str());
        size = sizeof a;
    }
    if (!receiver_.Bind(reinterpret_cast<sockaddr*>(&where), size, dualStack, error)) {
        error = "cannot listen on " + address.toString().toStdString() + ":" +
                std::to_string(port) + ": " + error;
        return false;
    }
    // The reader thread only posts: the window thread serves what it accepted.
    receiver_.Start([this] {
        QMetaObject::invokeMethod(this, &CwdaemonListener::ReadPending, Qt::QueuedConnection);
    });
    watchdog_.start();
    return true;
}

std::uint16_t CwdaemonListener::LocalPort() const {
    return receiver_.LocalPort();
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
    if (!watchdog_.isActive()) watchdog_.start();
    // Before the keyer runs the datagrams wait; they are served once it does.
    if (t_.engine->timer.TimerId() == 0) return;
    if (!captured_) CaptureStartupSettings();
    const std::deque<CwdaemonReceived> batch = receiver_.Take(kCwdaemonReadBatch);
    for (const CwdaemonReceived& item : batch) {
        if (item.logLine.empty()) {
            HandleDatagram(item.bytes, item.cut, item.from);
        } else {
            Log(item.logLine);
        }
    }
    Flush();
    if (batch.size() == kCwdaemonReadBatch && receiver_.Waiting()) {
        QTimer::singleShot(0, this, &CwdaemonListener::ReadPending);
    }
}

void CwdaemonListener::HandleDatagram(std::string_view bytes, bool cut, const Peer& peer) {
    ++requestsHandled_;
    if (!captured_) CaptureStartupSettings();
    if (cut) {
        Log("request longer than " + std::to_string(kCwdaemonMaxRequest) + " bytes cut there: \"" +
            PrintableBytes(bytes) + "\"");
    }
    Handle(ParseCwdaemonRequest(bytes), peer);
}

void CwdaemonListener::SendReply(const Reply& reply) {
    std::string error;
    if (!receiver_.Send(reply.bytes.toStdString(), reply.peer, error)) {
        Log("reply to " + EndpointText(reply.peer) + " not sent: " + error);
    }
}

void CwdaemonListener::Watchdog() {
    WatchOnce();
    if (NothingToWatch()) watchdog_.stop();
}

bool CwdaemonListener::NothingToWatch() const {
    return actions_.empty() && marks_.Keyed() && logSuppressed_ == 0 &&
           (t_.engine->timer.TimerId() != 0 || !receiver_.Waiting());
}

void CwdaemonListener::WatchOnce() {
    // Requests that came before the keyer ran are read once it runs.
    if (t_.engine->timer.TimerId() != 0 && receiver_.Waiting()) ReadPending();
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
        if (!watchdog_.isActive()) watchdog_.start();
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
