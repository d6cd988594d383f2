// The keyer thread asks RealtimeKit for real-time priority when SCHED_FIFO is refused. A stand-in
// service on a private bus checks the call: the keyer thread's id, the priority, RLIMIT_RTTIME.
// Run as root, the test drops CAP_SYS_NICE from the thread that starts the timer, so that the
// direct way is refused as it is for an ordinary user.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QThread>
#include <atomic>
#include <filesystem>
#include <functional>
#include <future>
#include <mutex>
#include <optional>

#include "app/realtime_kit.h"
#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/thread_tick_driver.h"
#include "support/no_direct_realtime.h"

namespace telkey {
namespace {

constexpr int kStandInMaxPriority = 20;
constexpr qlonglong kStandInRttimeUs = 200000;

bool ThreadExists(pid_t tid) {
    return std::filesystem::exists("/proc/self/task/" + std::to_string(tid));
}

// What RealtimeKit does, without its checks of the caller: the thread gets SCHED_RR.
class StandInRealtimeKit : public QDBusVirtualObject {
  public:
    struct Call {
        std::uint64_t tid = 0;
        std::uint32_t priority = 0;
        rlimit rttime{};
        bool threadOfCaller = false;
    };

    std::atomic<bool> refuse{false};
    // Set: MakeThreadRealtime is taken and never answered. Meanwhile the service waits a bounded
    // while for this to come true and keeps whether it did.
    std::function<bool()> whileHeld;
    std::atomic<int> cameTrue{-1};

    std::optional<Call> LastCall() {
        std::lock_guard lock(mutex_);
        return last_;
    }
    int Calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() == QLatin1String("Get")) {
            const QString name = message.arguments().value(1).toString();
            QVariant value;
            if (name == QLatin1String("MaxRealtimePriority")) value = kStandInMaxPriority;
            if (name == QLatin1String("RTTimeUSecMax")) value = kStandInRttimeUs;
            if (!value.isValid()) return false;
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(value))));
            return true;
        }
        if (message.member() != QLatin1String("MakeThreadRealtime")) return false;
        Call call;
        call.tid = message.arguments().value(0).toULongLong();
        call.priority = message.arguments().value(1).toUInt();
        getrlimit(RLIMIT_RTTIME, &call.rttime);  // the caller is this process
        call.threadOfCaller = ThreadExists(static_cast<pid_t>(call.tid));
        {
            std::lock_guard lock(mutex_);
            last_ = call;
            ++calls_;
        }
        if (whileHeld) {
            bool met = false;
            for (int i = 0; i < 2000 && !(met = whileHeld()); ++i) usleep(1000);
            cameTrue = met ? 1 : 0;
            return true;
        }
        sched_param param{};
        param.sched_priority = static_cast<int>(call.priority);
        if (refuse || !call.threadOfCaller ||
            sched_setscheduler(static_cast<pid_t>(call.tid), SCHED_RR | SCHED_RESET_ON_FORK,
                               &param) != 0) {
            connection.send(
                message.createErrorReply(QStringLiteral("org.freedesktop.DBus.Error.AccessDenied"),
                                         QStringLiteral("Operation not permitted")));
            return true;
        }
        connection.send(message.createReply());
        return true;
    }

  private:
    std::mutex mutex_;
    std::optional<Call> last_;
    int calls_ = 0;
};

class RealtimeKitTest : public ::testing::Test {
  protected:
    void SetUp() override {
        daemon_.setProgram(QStringLiteral("dbus-daemon"));
        daemon_.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"),
                              QStringLiteral("--print-address=1"),
                              QStringLiteral("--address=unix:tmpdir=/tmp")});
        daemon_.start();
        if (!daemon_.waitForStarted(5000)) GTEST_SKIP() << "dbus-daemon is not installed";
        ASSERT_TRUE(daemon_.waitForReadyRead(10000));
        address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        ASSERT_FALSE(address_.isEmpty());

        // The service answers on a thread of its own, which keeps CAP_SYS_NICE.
        standIn_ = new StandInRealtimeKit;
        standIn_->moveToThread(&serviceThread_);
        QObject::connect(&serviceThread_, &QThread::finished, standIn_, &QObject::deleteLater);
        serviceThread_.start();
        service_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(address_, QStringLiteral("stand-in")));
        ASSERT_TRUE(service_->isConnected());
        ASSERT_TRUE(service_->registerVirtualObject(QLatin1String(RealtimeKit::kPath), standIn_));

        getrlimit(RLIMIT_RTTIME, &savedRttime_);
        noDirect_.emplace();
        ASSERT_TRUE(noDirect_->Refused())
            << "SCHED_FIFO must be refused here for the broker to be asked";
    }

    void TearDown() override {
        noDirect_.reset();
        setrlimit(RLIMIT_RTTIME, &savedRttime_);
        if (service_) {
            service_->unregisterObject(QLatin1String(RealtimeKit::kPath));
            service_.reset();
            QDBusConnection::disconnectFromBus(QStringLiteral("stand-in"));
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("keyer"));
        serviceThread_.quit();
        serviceThread_.wait();
        daemon_.kill();
        daemon_.waitForFinished();
    }

    void RegisterService() {
        ASSERT_TRUE(service_->registerService(QLatin1String(RealtimeKit::kService)));
    }

    RealtimeKit::Connect KeyerConnection() const {
        return [address = address_] {
            return QDBusConnection::connectToBus(address, QStringLiteral("keyer"));
        };
    }

    // The answer comes on the broker's time, and the driver says when (the window is woken,
    // nothing polls); the keyer ticks meanwhile.
    static bool WaitForAnswer(ThreadTickDriver& driver, const std::atomic<bool>& answered) {
        for (int i = 0; i < 10000 && !answered.load(); ++i) usleep(1000);
        if (!answered.load()) return false;
        driver.TakeBrokerAnswer();  // unless a new timer has taken it already
        return !driver.AwaitingBroker();
    }

    static bool WaitForTicks(Keyer& keyer, std::uint64_t ticks) {
        for (int i = 0; i < 5000 && keyer.TickCount() < ticks; ++i) usleep(1000);
        return keyer.TickCount() >= ticks;
    }

    // Starts the keyer timer as the program does (2 ms, then 1 ms) and waits for ticks.
    static void StartAndTick(Engine& engine) {
        ASSERT_TRUE(engine.timer.StartKeyerTimer().empty());
        ASSERT_TRUE(engine.timer.RecreateKeyerTimer(1));
        const std::uint64_t start = engine.keyer.TickCount();
        for (int i = 0; i < 5000 && engine.keyer.TickCount() < start + 5; ++i) usleep(1000);
        EXPECT_GE(engine.keyer.TickCount(), start + 5) << "the keyer must tick in any case";
    }

    QProcess daemon_;
    QString address_;
    QThread serviceThread_;
    StandInRealtimeKit* standIn_ = nullptr;  // lives on serviceThread_, deleted when it ends
    std::unique_ptr<QDBusConnection> service_;
    rlimit savedRttime_{};
    std::optional<test::NoDirectRealtime> noDirect_;  // after the service thread has started
};

TEST_F(RealtimeKitTest, KeyerThreadGetsRealtimeFromTheService) {
    if (geteuid() != 0) GTEST_SKIP() << "the stand-in can grant SCHED_RR only when run as root";
    RegisterService();
    RealtimeKit kit(KeyerConnection());
    SimPortBus bus(1 << 12);
    ThreadTickDriver driver;
    driver.SetRealtimeBroker(&kit);
    std::atomic<bool> answered{false};
    driver.SetBrokerAnswered([&answered] { answered.store(true); });
    std::vector<ThreadScheduling> told;
    driver.SetSchedulingObserver([&](const ThreadScheduling& s) { told.push_back(s); });
    Engine engine(bus, driver);
    StartAndTick(engine);
    ASSERT_TRUE(WaitForAnswer(driver, answered));
    // Holding the speed arrows: more new tick lengths than RealtimeKit grants requests.
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(engine.timer.RecreateKeyerTimer(1 + i % 3));

    EXPECT_EQ(standIn_->Calls(), 1) << "one call for the thread that every timer keeps";
    const auto call = standIn_->LastCall();
    ASSERT_TRUE(call.has_value());
    const auto tid = static_cast<pid_t>(call->tid);
    EXPECT_TRUE(call->threadOfCaller);
    EXPECT_NE(tid, gettid());
    EXPECT_EQ(call->priority, static_cast<std::uint32_t>(kStandInMaxPriority))
        << "capped by the service's MaxRealtimePriority";
    EXPECT_EQ(call->rttime.rlim_cur, static_cast<rlim_t>(kStandInRttimeUs));
    EXPECT_EQ(call->rttime.rlim_max, static_cast<rlim_t>(kStandInRttimeUs));

    EXPECT_EQ(sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK, SCHED_RR);
    const ThreadScheduling s = driver.Scheduling();
    EXPECT_EQ(s.kind, SchedulingKind::RealtimeKit);
    EXPECT_EQ(s.priority, kStandInMaxPriority);
    EXPECT_EQ(driver.RealtimeGranted(), 1);
    ASSERT_GE(told.size(), 31u) << "told of every timer";
    EXPECT_EQ(told.back().kind, SchedulingKind::RealtimeKit);
    const std::string report = SchedulingReport(s, kit);
    EXPECT_NE(report.find("real-time priority 20 (SCHED_RR) from RealtimeKit"), std::string::npos)
        << report;

    engine.timer.StopKeyerTimer();
    EXPECT_FALSE(ThreadExists(tid)) << "the thread the service raised was the keyer's timer";
}

TEST_F(RealtimeKitTest, RefusalOrAbsenceFallsBackToAnOrdinaryThread) {
    enum class Bus { Refuses, NoService, NeverLetsIn };
    struct Case {
        const char* name;
        Bus bus;
        const char* why;
    };
    std::promise<void> gate;  // holds the connecting thread of a bus that never lets Telkey in
    const std::shared_future<void> opened = gate.get_future().share();
    for (const Case& c : {Case{"service refuses", Bus::Refuses, "Operation not permitted"},
                          Case{"no service on the bus", Bus::NoService, "(RealtimeKit: "},
                          Case{"a bus that never lets Telkey in (a hung bus daemon)",
                               Bus::NeverLetsIn, "the system bus did not let Telkey in"}}) {
        SCOPED_TRACE(c.name);
        if (c.bus == Bus::Refuses) {
            RegisterService();
            standIn_->refuse = true;
        }
        RealtimeKit kit(c.bus != Bus::NeverLetsIn ? KeyerConnection() : [opened] {
            opened.wait();
            return QDBusConnection(QStringLiteral("never reached"));
        });
        SimPortBus bus(1 << 12);
        ThreadTickDriver driver;
        driver.SetRealtimeBroker(&kit);
        std::atomic<bool> answered{false};
        driver.SetBrokerAnswered([&answered] { answered.store(true); });
        Engine engine(bus, driver);
        StartAndTick(engine);
        ASSERT_TRUE(WaitForAnswer(driver, answered));
        ASSERT_TRUE(engine.timer.RecreateKeyerTimer(2));

        const ThreadScheduling s = driver.Scheduling();
        EXPECT_EQ(s.kind, SchedulingKind::Ordinary);
        EXPECT_EQ(s.policy, SCHED_OTHER);
        EXPECT_EQ(driver.RealtimeGranted(), 0);
        const std::string report = SchedulingReport(s, kit);
        EXPECT_NE(report.find("without real-time priority"), std::string::npos) << report;
        EXPECT_NE(report.find("rtkit"), std::string::npos) << "says how to get it: " << report;
        EXPECT_NE(report.find("rtprio"), std::string::npos) << report;
        EXPECT_NE(report.find(c.why), std::string::npos) << report;
        engine.timer.StopKeyerTimer();
        if (c.bus == Bus::Refuses) {
            service_->unregisterService(QLatin1String(RealtimeKit::kService));
        }
        QDBusConnection::disconnectFromBus(QStringLiteral("keyer"));
    }
    gate.set_value();
    EXPECT_EQ(standIn_->Calls(), 1) << "asked once while present (a refusal is remembered)";
}

// A service that takes the request and never answers: the keyer ticks at once and on through a
// new tick length, the starting (window) thread goes on, and the service is asked once.
TEST_F(RealtimeKitTest, AServiceThatNeverAnswersHoldsNeitherTheKeyerNorTheWindow) {
    RegisterService();
    RealtimeKit kit(KeyerConnection());
    SimPortBus bus(1 << 12);
    ThreadTickDriver driver;
    driver.SetRealtimeBroker(&kit);
    std::atomic<bool> answered{false};
    driver.SetBrokerAnswered([&answered] { answered.store(true); });
    Engine engine(bus, driver);
    std::atomic<bool> windowFree{false};
    std::atomic<std::uint64_t> ticksAtNewLength{0};
    standIn_->whileHeld = [&] {
        return windowFree.load() && engine.keyer.TickCount() >= ticksAtNewLength.load() + 20;
    };

    ASSERT_TRUE(engine.timer.StartKeyerTimer().empty());
    ASSERT_TRUE(engine.timer.RecreateKeyerTimer(1));
    ticksAtNewLength = engine.keyer.TickCount();
    windowFree = true;
    for (int i = 0; i < 10000 && standIn_->cameTrue < 0; ++i) usleep(1000);
    EXPECT_EQ(standIn_->cameTrue, 1)
        << "while the request waited, the timer was re-created and ticked 20 times";

    // It goes unanswered; the keyer ticks on through new tick lengths without asking again.
    ASSERT_TRUE(WaitForAnswer(driver, answered));
    EXPECT_EQ(driver.Scheduling().kind, SchedulingKind::Ordinary);
    for (const int periodMs : {2, 1, 3}) {
        ASSERT_TRUE(engine.timer.RecreateKeyerTimer(periodMs));
        EXPECT_TRUE(WaitForTicks(engine.keyer, engine.keyer.TickCount() + 5)) << periodMs;
    }
    EXPECT_EQ(standIn_->Calls(), 1) << "no answer is remembered: not asked again for a while";
    engine.timer.StopKeyerTimer();
}

}  // namespace
}  // namespace telkey
