#include "app/realtime_kit.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>

namespace telkey {

RealtimeKit::RealtimeKit(const QDBusConnection& connection) : connection_(connection) {}

bool RealtimeKit::Property(const char* name, QVariant& value) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(kService), QLatin1String(kPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QLatin1String(kInterface) << QLatin1String(name);
    const QDBusMessage reply = connection_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        lastError_ = reply.errorMessage();
        return false;
    }
    value = qdbus_cast<QDBusVariant>(reply.arguments().at(0)).variant();
    return true;
}

bool RealtimeKit::QueryLimits(Limits& limits) {
    if (!connection_.isConnected()) {
        lastError_ = QStringLiteral("no system bus");
        return false;
    }
    // RealtimeKit answers Get, not GetAll.
    QVariant priority;
    QVariant rttime;
    if (!Property("MaxRealtimePriority", priority) || !Property("RTTimeUSecMax", rttime)) {
        return false;
    }
    limits.maxPriority = priority.toInt();
    limits.rttimeUs = rttime.toLongLong();
    lastError_.clear();
    return true;
}

bool RealtimeKit::MakeThreadRealtime(std::uint64_t tid, std::uint32_t priority) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
        QStringLiteral("MakeThreadRealtime"));
    call << QVariant::fromValue<qulonglong>(tid) << QVariant::fromValue<uint>(priority);
    const QDBusMessage reply = connection_.call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        lastError_ = reply.errorMessage();
        return false;
    }
    lastError_.clear();
    return true;
}

std::string SchedulingReport(const ThreadScheduling& scheduling, const RealtimeKit& realtimeKit) {
    std::string text = DescribeScheduling(scheduling);
    if (scheduling.kind == SchedulingKind::Ordinary && !realtimeKit.LastError().isEmpty()) {
        text += " (RealtimeKit: " + realtimeKit.LastError().toStdString() + ")";
    }
    return text;
}

}  // namespace telkey
