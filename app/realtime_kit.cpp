#include "app/realtime_kit.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusVariant>
#include <chrono>
#include <condition_variable>
#include <optional>

namespace telkey {

// The connection, as the connecting thread leaves it. That thread owns a share: a bus that never
// lets it in keeps it waiting after the broker is gone.
struct RealtimeKit::Link {
    std::mutex mutex;
    std::condition_variable reached;
    std::optional<QDBusConnection> connection;
};

RealtimeKit::RealtimeKit() : RealtimeKit([] { return QDBusConnection::systemBus(); }) {}

RealtimeKit::RealtimeKit(Connect connect)
    : connect_(std::move(connect)), link_(std::make_shared<Link>()) {}

RealtimeKit::~RealtimeKit() {
    if (!connector_.joinable()) return;
    bool reached = false;
    {
        std::lock_guard lock(link_->mutex);
        reached = link_->connection.has_value();
    }
    if (reached) {
        connector_.join();
    } else {
        connector_.detach();
    }
}

QString RealtimeKit::LastError() const {
    std::lock_guard lock(errorMutex_);
    return lastError_;
}

void RealtimeKit::SetError(const QString& error) {
    std::lock_guard lock(errorMutex_);
    lastError_ = error;
}

bool RealtimeKit::Reach(std::optional<QDBusConnection>& connection) {
    if (!connector_.joinable() && !waitedForBus_) {
        try {
            connector_ = std::thread([link = link_, connect = connect_] {
                QDBusConnection reached = connect();
                std::lock_guard lock(link->mutex);
                link->connection.emplace(reached);
                link->reached.notify_all();
            });
        } catch (...) {
            waitedForBus_ = true;
            SetError(QStringLiteral("no thread to reach the system bus"));
            return false;
        }
    }
    // Waited for once; a bus that let nobody in by then is not waited for again.
    const auto bound = std::chrono::milliseconds(waitedForBus_ ? 0 : kConnectTimeoutMs);
    waitedForBus_ = true;
    std::unique_lock lock(link_->mutex);
    if (!link_->reached.wait_for(lock, bound, [this] { return link_->connection.has_value(); })) {
        SetError(QStringLiteral("the system bus did not let Telkey in"));
        return false;
    }
    if (!link_->connection->isConnected()) {
        SetError(QStringLiteral("no system bus"));
        return false;
    }
    connection = link_->connection;
    return true;
}

bool RealtimeKit::Call(const QDBusMessage& call, QDBusMessage& reply) {
    std::optional<QDBusConnection> connection;
    if (!Reach(connection)) return false;
    reply = connection->call(call, QDBus::Block, kCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage) {
        SetError(reply.errorMessage());
        return false;
    }
    return true;
}

bool RealtimeKit::Property(const char* name, QVariant& value) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(kService), QLatin1String(kPath),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << QLatin1String(kInterface) << QLatin1String(name);
    QDBusMessage reply;
    if (!Call(call, reply)) return false;
    if (reply.arguments().isEmpty()) {
        SetError(QStringLiteral("no value of ") + QLatin1String(name));
        return false;
    }
    value = qdbus_cast<QDBusVariant>(reply.arguments().at(0)).variant();
    return true;
}

bool RealtimeKit::QueryLimits(Limits& limits) {
    std::lock_guard lock(callMutex_);
    // RealtimeKit answers Get, not GetAll.
    QVariant priority;
    QVariant rttime;
    if (!Property("MaxRealtimePriority", priority) || !Property("RTTimeUSecMax", rttime)) {
        return false;
    }
    limits.maxPriority = priority.toInt();
    limits.rttimeUs = rttime.toLongLong();
    SetError(QString());
    return true;
}

bool RealtimeKit::MakeThreadRealtime(std::uint64_t tid, std::uint32_t priority) {
    std::lock_guard lock(callMutex_);
    QDBusMessage call = QDBusMessage::createMethodCall(
        QLatin1String(kService), QLatin1String(kPath), QLatin1String(kInterface),
        QStringLiteral("MakeThreadRealtime"));
    call << QVariant::fromValue<qulonglong>(tid) << QVariant::fromValue<uint>(priority);
    QDBusMessage reply;
    if (!Call(call, reply)) return false;
    SetError(QString());
    return true;
}

std::string SchedulingReport(const ThreadScheduling& scheduling, const RealtimeKit& realtimeKit) {
    std::string text = DescribeScheduling(scheduling);
    const QString error = realtimeKit.LastError();
    if (scheduling.kind == SchedulingKind::Ordinary && !error.isEmpty()) {
        text += " (RealtimeKit: " + error.toStdString() + ")";
    }
    return text;
}

}  // namespace telkey
