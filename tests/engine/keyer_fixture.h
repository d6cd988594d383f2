#pragma once
// A keyer on simulated ports, driven tick by tick: the default speed (60 letters per minute,
// DotTicks 25, DashTicks 75, TickMs 4), the paddle on the game port and the key line on LPT1.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"

namespace telkey::test {

constexpr std::uint16_t kGamePort = 0x201;
constexpr std::uint8_t kDotContact = 0x10;
constexpr std::uint8_t kDashContact = 0x20;
constexpr std::uint16_t kLpt1 = 0x378;
constexpr std::int32_t kLpt1Number = 5;

class KeyerFixture : public ::testing::Test {
  protected:
    KeyerFixture() : bus(1 << 16), engine(bus, driver) {
        engine.ResetHandover();
        SetSpeed(25, 75, 0, 4);
        engine.portSettings.KeyPortNumber = kLpt1Number;
    }

    void SetSpeed(int dot, int dash, int weight, int tickMs) {
        engine.keyerSettings.DotTicks = dot;
        engine.keyerSettings.DashTicks = dash;
        engine.keyerSettings.WeightTicks = weight;
        engine.keyerSettings.TickMs = tickMs;
    }

    // The game port reads 0 for a closed contact.
    void Paddle(bool dot, bool dash) {
        std::uint8_t byte = 0xFF;
        if (dot) byte &= static_cast<std::uint8_t>(~kDotContact);
        if (dash) byte &= static_cast<std::uint8_t>(~kDashContact);
        bus.SetInput(kGamePort, byte);
    }

    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) engine.keyer.KeyerTick();
    }

    bool KeyDown() const {
        const auto last = bus.LastValue(kLpt1);
        return last && (*last & engine.portSettings.KeyMask) != 0;
    }

    // Runs n ticks and returns the key line after each: '#' down, '.' up.
    std::string KeyLine(int n) {
        std::string line;
        for (int i = 0; i < n; ++i) {
            Tick();
            line += KeyDown() ? '#' : '.';
        }
        return line;
    }

    // Lengths of the runs of a key line: {down?, ticks}.
    static std::vector<std::pair<bool, int>> Runs(const std::string& line) {
        std::vector<std::pair<bool, int>> runs;
        for (char c : line) {
            const bool down = c == '#';
            if (runs.empty() || runs.back().first != down) runs.push_back({down, 0});
            ++runs.back().second;
        }
        return runs;
    }

    // Key-down lengths of a key line, in ticks.
    static std::vector<int> DownLengths(const std::string& line) {
        std::vector<int> lengths;
        for (const auto& [down, ticks] : Runs(line)) {
            if (down) lengths.push_back(ticks);
        }
        return lengths;
    }

    std::vector<Notification> TakeNotifications() {
        std::vector<Notification> out;
        Notification n;
        while (engine.notifications.Pop(n)) out.push_back(n);
        return out;
    }

    std::vector<std::uint8_t> TakeRing() {
        std::vector<std::uint8_t> out;
        std::uint8_t code;
        while (engine.ring.Pop(code)) out.push_back(code);
        return out;
    }

    // Ticks until the ring holds a code (at most `limit` ticks); returns the ticks run.
    int TicksUntilPush(int limit = 10000) {
        const std::uint32_t before = engine.ring.RingCount();
        for (int i = 1; i <= limit; ++i) {
            Tick();
            if (engine.ring.RingCount() != before) return i;
        }
        return -1;
    }

    const KeyerState& State() const { return engine.keyer.State(); }

    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine;
};

}  // namespace telkey::test
