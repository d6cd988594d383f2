#pragma once
// RealtimeKit (org.freedesktop.RealtimeKit1 on the system bus) as the keyer's real-time broker:
// it gives an ordinary user's thread real-time priority, as it does for desktop sound servers.
#include <QDBusConnection>
#include <QString>
#include <QVariant>
#include <string>

#include "engine/thread_priority.h"

namespace telkey {

class RealtimeKit : public RealtimeBroker {
  public:
    static constexpr char kService[] = "org.freedesktop.RealtimeKit1";
    static constexpr char kPath[] = "/org/freedesktop/RealtimeKit1";
    static constexpr char kInterface[] = "org.freedesktop.RealtimeKit1";
    // A service that does not answer within this is taken as absent; the keyer then runs without.
    static constexpr int kCallTimeoutMs = 3000;

    explicit RealtimeKit(const QDBusConnection& connection);

    bool QueryLimits(Limits& limits) override;
    bool MakeThreadRealtime(std::uint64_t tid, std::uint32_t priority) override;

    // Why the last call failed; empty after a success.
    const QString& LastError() const { return lastError_; }

  private:
    bool Property(const char* name, QVariant& value);

    QDBusConnection connection_;
    QString lastError_;
};

// The operator's line for the keyer thread's scheduling; when RealtimeKit was asked and refused,
// with its reason.
std::string SchedulingReport(const ThreadScheduling& scheduling, const RealtimeKit& realtimeKit);

}  // namespace telkey
