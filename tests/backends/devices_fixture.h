#pragma once
// The devices backend on fake devices, with threads off (the monitor runs by hand), and the
// real engine on top of it, driven tick by tick.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <memory>
#include <string>
#include <vector>

#include "backends/port_bus_devices.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "support/fake_device_layer.h"

namespace telkey::test {

constexpr int kDtr = TIOCM_DTR;
constexpr int kRts = TIOCM_RTS;
constexpr std::int64_t kMsNs = 1'000'000;

class DevicesFixture : public ::testing::Test {
  protected:
    static DevicesConfig Config() {
        DevicesConfig config;
        config.threads = false;
        return config;
    }

    // The bus, and the engine on it at the default speed (DotTicks 25, DashTicks 75, TickMs 4).
    void Build(const DevicesConfig& config) {
        engine.reset();
        bus.reset();
        warnings.clear();
        bus = std::make_unique<DevicesPortBus>(layer, config, warnings);
        engine = std::make_unique<Engine>(*bus, driver);
        engine->ResetHandover();
        engine->keyerSettings.DotTicks = 25;
        engine->keyerSettings.DashTicks = 75;
        engine->keyerSettings.WeightTicks = 0;
        engine->keyerSettings.TickMs = 4;
    }

    void Tick(int n = 1) {
        for (int i = 0; i < n; ++i) engine->keyer.KeyerTick();
    }

    Ports& ports() { return engine->ports; }
    PortSettings& settings() { return engine->portSettings; }

    std::string Notices() {
        std::string all;
        for (const auto& text : bus->Notices().TakeNew()) all += text + "\n";
        return all;
    }

    FakeDeviceLayer layer;
    std::vector<std::string> warnings;
    std::unique_ptr<DevicesPortBus> bus;
    ManualTickDriver driver;
    std::unique_ptr<Engine> engine;
};

}  // namespace telkey::test
