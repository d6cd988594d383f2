// No stuck transmitter: a keyer that stops ticking with a line on has its lines released by the
// watchdog, and a crash releases them from the signal handler before the program dies.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <future>
#include <thread>

#include "backends/devices_pcspkr_sink.h"
#include "engine/morse_tables.h"
#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

using ::testing::HasSubstr;

class RecordingSink final : public SpeakerSink {
  public:
    void Tone(std::uint32_t) noexcept override {}
    void Silence() noexcept override { silenced.fetch_add(1); }
    std::atomic<int> silenced{0};
};

class WatchdogTest : public DevicesFixture {
  protected:
    void SetUp() override {
        com1 = layer.AddSerial("/dev/ttyUSB0");
        lpt1 = layer.AddParallel("/dev/parport0");
    }
    void Open(bool threads) {
        DevicesConfig config = Config();
        config.com[0] = "/dev/ttyUSB0";
        config.lpt[0] = "/dev/parport0";
        config.threads = threads;
        config.timing.monitorPeriodNs = 20 * kMsNs;
        Build(config);
        auto sink = std::make_unique<RecordingSink>();
        speaker = sink.get();
        bus->SetSpeakerSink(std::move(sink));
        settings().KeyPortNumber = 1;
        settings().UseSpeaker = 1;
        bus->WatchKeyer(engine->keyer, settings());
    }
    // Ticks until the keyer holds the key down on a dash.
    void KeyADash() {
        engine->flags.Transmitting = 1;
        engine->mailbox.Fill(CharToCode('T'));
        for (int i = 0; i < 10 && (layer.Tiocm(com1) & kDtr) == 0; ++i) Tick();
    }
    int Lines() const { return layer.Tiocm(com1) & (kDtr | kRts); }

    int com1 = -1;
    int lpt1 = -1;
    RecordingSink* speaker = nullptr;
};

TEST_F(WatchdogTest, StallWithTheKeyDownReleasesKeyAndTxAfterHalfASecond) {
    Open(false);
    KeyADash();
    ASSERT_EQ(Lines(), kDtr | kRts);
    bus->Monitor(0);
    bus->Monitor(499 * kMsNs);
    EXPECT_EQ(Lines(), kDtr | kRts);
    bus->Monitor(500 * kMsNs);
    EXPECT_EQ(Lines(), 0);
    EXPECT_GE(speaker->silenced.load(), 1);
    EXPECT_THAT(Notices(), HasSubstr("The keyer has stopped ticking (none for 500 ms) with the key "
                                     "or TX line on: both lines released."));
    bus->Monitor(600 * kMsNs);
    EXPECT_EQ(Notices(), "");  // said once
    // The keyer comes back: it owns the lines again from its next write.
    Tick(100);
    bus->Monitor(700 * kMsNs);
    EXPECT_THAT(Notices(), HasSubstr("The keyer is ticking again."));
    EXPECT_EQ(Lines(), kRts);  // between elements, still transmitting
}

TEST_F(WatchdogTest, IdleKeyerWithTheLinesDownIsLeftAlone) {
    Open(false);
    Tick(5);
    const int changes = layer.Lines(com1).lineChanges.load();
    bus->Monitor(0);
    bus->Monitor(5000 * kMsNs);
    EXPECT_EQ(layer.Lines(com1).lineChanges.load(), changes);
    EXPECT_EQ(Notices(), "");
}

TEST_F(WatchdogTest, OnlyTheKeyAndTxBitsAreReleased) {
    Open(false);
    settings().KeyPortNumber = 5;
    settings().AllMask = 0x80;
    KeyADash();
    ASSERT_EQ(layer.Lines(lpt1).data.load(), 0x83);
    bus->Monitor(0);
    bus->Monitor(600 * kMsNs);
    EXPECT_EQ(layer.Lines(lpt1).data.load(), 0x80);
}

TEST_F(WatchdogTest, StalledKeyerThreadHasItsLinesReleased) {
    Open(true);
    std::promise<void> resume;
    std::promise<void> keyed;
    std::thread keyerThread([&] {
        KeyADash();
        keyed.set_value();
        resume.get_future().wait();  // the stall
        Tick(10);
    });
    keyed.get_future().wait();
    EXPECT_EQ(Lines(), kDtr | kRts);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (Lines() != 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(Lines(), 0);
    std::string said;
    while (said.empty() && std::chrono::steady_clock::now() < deadline) said = Notices();
    EXPECT_THAT(said, HasSubstr("both lines released"));
    resume.set_value();
    keyerThread.join();
}

// Runs `crash` in a child with the key and TX lines, the LPT data lines and the PC speaker on,
// and returns the signal the child died of (0 when it did not die of one in time).
int CrashWithTheKeyDown(FakeDeviceLayer& layer, const std::function<void()>& crash) {
    const pid_t pid = ::fork();
    if (pid < 0) return 0;
    if (pid == 0) {
        rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        std::vector<std::string> warnings;
        DevicesConfig config;
        config.threads = false;
        config.com[0] = "/dev/ttyUSB0";
        config.lpt[0] = "/dev/parport0";
        DevicesPortBus bus(layer, config, warnings);
        std::string message;
        bus.SetSpeakerSink(PcSpeakerSink::Open(layer, message));
        if (!warnings.empty() || bus.Sink() == nullptr) ::_exit(2);
        bus.out(0x3FC, 0x03);
        bus.out(0x378, 0x83);
        bus.out(0x43, 0xB6);
        bus.out(0x42, 0xA9);
        bus.out(0x42, 0x04);
        bus.out(0x61, 0x03);
        crash();
        ::_exit(3);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return WIFSIGNALED(status) ? WTERMSIG(status) : 0;
}

class CrashTest : public ::testing::Test {
  protected:
    void SetUp() override {
        com = layer.AddSerial("/dev/ttyUSB0");
        lpt = layer.AddParallel("/dev/parport0");
        spkr = layer.AddPcSpeaker("/dev/input/by-path/platform-pcspkr-event-spkr");
    }
    void ExpectReleasedAfterKeying() {
        // The child did key: DTR and RTS went on, the data lines and the tone too...
        bool keyed = false;
        const int changes = layer.Lines(com).lineChanges.load();
        for (int i = 0; i < changes; ++i) {
            keyed |= layer.Lines(com).history[static_cast<std::size_t>(i)].load() == (kDtr | kRts);
        }
        EXPECT_TRUE(keyed);
        // ...and nothing is left on.
        EXPECT_EQ(layer.Tiocm(com) & (kDtr | kRts), 0);
        EXPECT_EQ(layer.Lines(lpt).data.load(), 0);
        EXPECT_EQ(layer.Lines(spkr).tone.load(), 0);
        EXPECT_GE(layer.Lines(lpt).lineChanges.load(), 3);  // cleared at open, 0x83, released
    }

    FakeDeviceLayer layer{true};
    int com = -1;
    int lpt = -1;
    int spkr = -1;
};

TEST_F(CrashTest, SegmentationFaultReleasesTheLinesBeforeTheProgramDies) {
    const int sig = CrashWithTheKeyDown(layer, [] {
        volatile int* volatile nowhere = nullptr;
        *nowhere = 1;
    });
    EXPECT_EQ(sig, SIGSEGV);
    ExpectReleasedAfterKeying();
}

TEST_F(CrashTest, AbortReleasesTheLinesBeforeTheProgramDies) {
    const int sig = CrashWithTheKeyDown(layer, [] { std::abort(); });
    EXPECT_EQ(sig, SIGABRT);
    ExpectReleasedAfterKeying();
}

}  // namespace
}  // namespace telkey::test
