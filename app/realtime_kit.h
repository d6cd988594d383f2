#pragma once
// RealtimeKit (org.freedesktop.RealtimeKit1 on the system bus) as the keyer's real-time broker:
// it gives an ordinary user's thread real-time priority, as it does for desktop sound servers.
// Every call ends within a bound whatever the bus does: the bus is reached on a thread of its
// own, at the first call, and given up when it does not let Telkey in.
#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariant>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/thread_priority.h"

namespace telkey {

class RealtimeKit : public RealtimeBroker {
  public:
    static constexpr char kService[] = "org.freedesktop.RealtimeKit1";
    static constexpr char kPath[] = "/org/freedesktop/RealtimeKit1";
    static constexpr char kInterface[] = "org.freedesktop.RealtimeKit1";
    // A service that does not answer a call within this is taken as refusing. It answers in
    // milliseconds when it works.
    static constexpr int kCallTimeoutMs = 1000;
    // A bus that has not let Telkey in within this is taken as absent.
    static constexpr int kConnectTimeoutMs = 2000;

    using Connect = std::function<QDBusConnection()>;

    // On the system bus.
    RealtimeKit();
    // On the bus `connect` returns; it runs on a thread of the broker's.
    explicit RealtimeKit(Connect connect);
    ~RealtimeKit() override;
    RealtimeKit(const RealtimeKit&) = delete;
    RealtimeKit& operator=(const RealtimeKit&) = delete;

    // From any thread, one call at a time.
    bool QueryLimits(Limits& limits) override;
    bool MakeThreadRealtime(std::uint64_t tid, std::uint32_t priority) override;

    // Why the last call failed; empty after a success.
    QString LastError() const;

  private:
    struct Link;

    bool Reach(std::optional<QDBusConnection>& connection);
    bool Call(const QDBusMessage& call, QDBusMessage& reply);
    bool Property(const char* name, QVariant& value);
    void SetError(const QString& error);

    Connect connect_;
    std::mutex callMutex_;  // one call at a time
    std::shared_ptr<Link> link_;
    std::thread connector_;
    bool waitedForBus_ = false;
    mutable std::mutex errorMutex_;
    QString lastError_;
};

// The operator's line for the keyer thread's scheduling; when RealtimeKit was asked and refused,
// with its reason.
std::string SchedulingReport(const ThreadScheduling& scheduling, const RealtimeKit& realtimeKit);

}  // namespace telkey
