// Ending the program leaves no keyed transmitter and no sounding speaker.
#include "engine/safe_outputs.h"

#include <gtest/gtest.h>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"

namespace telkey {
namespace {

TEST(SafeOutputs, KeyTxAndSpeakerAreReleasedAndTheTimerStops) {
    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine(bus, driver);
    constexpr std::int32_t kLpt1 = 5;
    engine.portSettings.KeyPortNumber = kLpt1;
    engine.portSettings.UseSpeaker = 1;
    ASSERT_TRUE(engine.timer.StartKeyerTimer().empty());
    engine.flags.Transmitting = 1;
    engine.ports.SetTx(1);
    engine.ports.SetKey(1);
    const std::uint16_t keyPort = KeyPortOutputRegister(kLpt1);
    const std::uint8_t keyAndTx = engine.portSettings.KeyMask | engine.portSettings.TxMask;
    ASSERT_EQ(bus.LastValue(keyPort).value_or(0) & keyAndTx, keyAndTx);
    ASSERT_TRUE(engine.ports.SpeakerSounding());

    ReleaseOutputs(engine);
    EXPECT_FALSE(driver.Running());
    EXPECT_EQ(bus.LastValue(keyPort).value_or(0xFF) & keyAndTx, 0);
    EXPECT_FALSE(engine.ports.SpeakerSounding());
    EXPECT_EQ(engine.flags.Transmitting.load(), 0);

    // A second call changes nothing and does not fail.
    ReleaseOutputs(engine);
    EXPECT_EQ(bus.LastValue(keyPort).value_or(0xFF) & keyAndTx, 0);
}

}  // namespace
}  // namespace telkey
