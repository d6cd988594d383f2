#include "exchange/cwdaemon_listener.h"

#include <net/if.h>
#include <netinet/in.h>
#include <QEvent>
#include <QPlainTextEdit>
#include <algorithm>
#include <cstring>
#include <iostream>

#include "engine/engine.h"

namespace telkey {

namespace {

constexpr int kWatchdogMs = 1000;
constexpr char kLogPrefix[] = "telkey: cwdaemon: ";

}  // namespace

CwdaemonListener::CwdaemonListener(const CwdaemonTargets& targets, QObject* parent)
    : CwdaemonListener(*new LoggerKeying(targets), parent) {
    ownKeying_.reset(k_);
    k_->SetLogSink([this](const std::string& line) { Log(line); });
}

CwdaemonListener::CwdaemonListener(LoggerKeying& keying, QObject* parent)
    : QObject(parent), k_(&keying), t_(keying.Targets()) {
    watchdog_.setInterval(kWatchdogMs);
    connect(&watchdog_, &QTimer::timeout, this, &CwdaemonListener::Watchdog);
}

CwdaemonListener::~CwdaemonListener() {
    // No wake-up is posted to the listener once it goes.
    receiver_.Stop();
    // The logger's PTT lead goes with it.
    SetPttDelay(0);
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
    k_->CaptureStartupSettings();
}

void CwdaemonListener::WatchActivation(QObject* window) {
    window->installEventFilter(this);
}

bool CwdaemonListener::eventFilter(QObject* watched, QEvent* event) {
    const bool activated =
        event->type() == QEvent::WindowActivate || event->type() == QEvent::ActivationChange;
    if (activated && !k_->Captured()) {
        // After the window's own activation handler has run the start-up: then the requests
        // that came meanwhile are read, in order.
        QTimer::singleShot(0, this, [this] {
            if (!k_->Captured() && k_->KeyerRuns()) {
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
    if (!k_->KeyerRuns()) return;
    if (!k_->Captured()) CaptureStartupSettings();
    const std::deque<CwdaemonReceived> batch = receiver_.Take(kCwdaemonReadBatch);
    for (const CwdaemonReceived& item : batch) {
        if (item.logLine.empty()) {
            HandleDatagram(item.bytes, item.cut, item.from);
        } else {
            Log(item.logLine);
        }
    }
    k_->Flush();
    if (batch.size() == kCwdaemonReadBatch && receiver_.Waiting()) {
        QTimer::singleShot(0, this, &CwdaemonListener::ReadPending);
    }
}

void CwdaemonListener::HandleDatagram(std::string_view bytes, bool cut, const Peer& peer) {
    ++requestsHandled_;
    if (!k_->Captured()) CaptureStartupSettings();
    if (cut) {
        Log("request longer than " + std::to_string(kCwdaemonMaxRequest) + " bytes cut there: \"" +
            PrintableBytes(bytes) + "\"");
    }
    Handle(ParseCwdaemonRequest(bytes), peer);
}

void CwdaemonListener::Watchdog() {
    // Requests that came before the keyer ran are read once it runs.
    if (k_->KeyerRuns() && receiver_.Waiting()) ReadPending();
    if (logSuppressed_ > 0 &&
        std::chrono::steady_clock::now() - logWindow_ >= std::chrono::seconds(1)) {
        FlushLogSummary();
    }
    if (NothingToWatch()) watchdog_.stop();
}

bool CwdaemonListener::NothingToWatch() const {
    return logSuppressed_ == 0 && (k_->KeyerRuns() || !receiver_.Waiting());
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
