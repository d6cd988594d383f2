// Guardians killed one after the other, each of the two in turn, while the keyer beats and the
// backends hand and forget their descriptors: no data race, every new guardian holds what was
// handed last, and the last ones release when Telkey's side goes.
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "backends/devices_stopper.h"
#include "backends/guardian.h"
#include "backends/port_bus_sim.h"
#include "backends/standard_streams.h"
#include "support/scratch_dir.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

TEST(GuardianStress, GuardiansKilledWhileDescriptorsAreHandedAndTheKeyerBeats) {
    test::ScratchDir dir;
    const std::string tracePath = dir / "trace.txt";
    SimPortBus bus{16};
    PortSettings settings;
    settings.KeyPortNumber = 5;
    SharedFlags flags;
    Ports ports{bus, settings, flags};
    std::string error;
    auto guardian = Guardian::Start(kGuardianProgram, error);
    ASSERT_TRUE(guardian) << error;
    guardian->Watch(settings, ports);
    const int trace = ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    ASSERT_GE(trace, 0);

    std::atomic<bool> stop{false};
    std::thread keyer([&] {
        for (int i = 0; !stop.load(); ++i) {
            ports.SetKey((i / 8) % 2);  // each key-down wakes the guardian
            guardian->Beat(MonotonicNs());
            std::this_thread::sleep_for(1ms);
        }
    });
    std::thread backend([&] {
        for (int i = 0; !stop.load(); ++i) {
            i % 2 == 0 ? guardian->Hand(GuardedKind::Trace, kGuardSlotTrace, trace)
                       : guardian->Forget(kGuardSlotTrace);
            std::this_thread::sleep_for(100us);
        }
        guardian->Hand(GuardedKind::Trace, kGuardSlotTrace, trace);
    });
    for (int i = 0; i < 10; ++i) {
        for (int n = 0; n < 10000 && !guardian->Guarding(); ++n) std::this_thread::sleep_for(1ms);
        ::kill(guardian->Pids()[static_cast<std::size_t>(i % kGuardians)], SIGKILL);
        std::this_thread::sleep_for(20ms);
    }
    stop.store(true);
    keyer.join();
    backend.join();
    ::close(trace);
    EXPECT_EQ(test::ReadBytes(tracePath), "");  // killed guardians release nothing
    guardian.reset();
    EXPECT_NE(test::ReadBytes(tracePath).find(" 0x378 0x00\n"), std::string::npos);
}

}  // namespace
}  // namespace telkey

// This program is also the guardian the test starts.
int main(int argc, char** argv) {
    telkey::OpenStandardStreams();
    if (telkey::IsGuardianCall(argc, argv)) telkey::GuardianMain();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
