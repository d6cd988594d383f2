// Port bus backends and the command-line options that choose them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <time.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "backends/port_bus_factory.h"
#include "backends/port_bus_none.h"
#include "backends/port_bus_sim.h"

namespace telkey {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

std::string TempPath(const char* name) {
    return std::string(TELKEY_BINARY_DIR) + "/" + name + "." + std::to_string(getpid());
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

TEST(NonePortBus, ReadsFloatingBusAndIgnoresWrites) {
    NonePortBus bus;
    bus.out(0x378, 0x01);
    EXPECT_EQ(bus.in(0x378), 0xFF);
    EXPECT_EQ(bus.in(0x201), 0xFF);
}

TEST(SimPortBus, InputsAndRecordedWrites) {
    SimPortBus bus(64);
    EXPECT_EQ(bus.in(0x201), 0xFF) << "unset";
    bus.SetInput(0x201, 0xEF);
    EXPECT_EQ(bus.in(0x201), 0xEF);
    bus.out(0x201, 0x00);  // writes do not change what is read
    EXPECT_EQ(bus.in(0x201), 0xEF);
    bus.ClearInput(0x201);
    EXPECT_EQ(bus.in(0x201), 0xFF);
    EXPECT_EQ(bus.ReadCount(0x201), 4u);

    bus.out(0x378, 0x01);
    bus.out(0x43, 0xB6);
    bus.out(0x378, 0x00);
    EXPECT_EQ(bus.WriteCount(), 4u);
    EXPECT_THAT(bus.ValuesWrittenTo(0x378), ElementsAre(0x01, 0x00));
    EXPECT_EQ(bus.LastValue(0x378), 0x00);
    EXPECT_EQ(bus.LastValue(0x43), 0xB6);
    EXPECT_EQ(bus.LastValue(0x3FC), std::nullopt);
    const auto writes = bus.Writes();
    ASSERT_EQ(writes.size(), 4u);
    for (std::size_t i = 1; i < writes.size(); ++i) {
        EXPECT_LE(writes[i - 1].timeNs, writes[i].timeNs);
    }
    EXPECT_EQ(bus.WritesTo(0x43).size(), 1u);

    bus.Clear();
    EXPECT_EQ(bus.WriteCount(), 0u);
    EXPECT_TRUE(bus.Writes().empty());
    EXPECT_EQ(bus.LastValue(0x378), std::nullopt);
    EXPECT_EQ(bus.in(0x201), 0xFF);
}

TEST(SimPortBus, FullRingKeepsTheNewestWrites) {
    SimPortBus bus(100);  // rounded up to 128
    EXPECT_EQ(bus.Capacity(), 128u);
    for (int i = 0; i < 300; ++i) bus.out(0x378, static_cast<std::uint8_t>(i));
    EXPECT_EQ(bus.WriteCount(), 300u);
    const auto values = bus.ValuesWrittenTo(0x378);
    ASSERT_EQ(values.size(), 128u);
    EXPECT_EQ(values.front(), static_cast<std::uint8_t>(300 - 128));
    EXPECT_EQ(values.back(), static_cast<std::uint8_t>(299));
}

TEST(SimPortBus, TraceFileLinesFlushedWhileRunningAndAtTheEnd) {
    const std::string path = TempPath("port_trace_test");
    std::remove(path.c_str());
    {
        SimPortBus bus(1024);
        std::string error;
        ASSERT_TRUE(bus.StartTrace(path, error)) << error;
        bus.out(0x378, 0x83);
        bus.out(0x42, 0xA9);
        // Another process reads the trace while Telkey runs: it appears without a flush call.
        std::vector<std::string> lines;
        for (int i = 0; i < 400 && lines.size() < 2; ++i) {
            timespec t{0, 5'000'000};
            nanosleep(&t, nullptr);
            lines = ReadLines(path);
        }
        ASSERT_EQ(lines.size(), 2u);
        std::istringstream first(lines[0]);
        unsigned long long micros = 0;
        std::string port, value;
        first >> micros >> port >> value;
        EXPECT_GT(micros, 0u);
        EXPECT_EQ(port, "0x378");
        EXPECT_EQ(value, "0x83");
        EXPECT_THAT(lines[1], HasSubstr(" 0x42 0xa9"));
        bus.out(0x378, 0x80);  // written out when the bus goes
    }
    const auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_THAT(lines[2], HasSubstr(" 0x378 0x80"));
    std::remove(path.c_str());
}

TEST(SimPortBus, TraceFileThatCannotBeOpened) {
    SimPortBus bus(16);
    std::string error;
    EXPECT_FALSE(bus.StartTrace("/nonexistent-dir/trace.txt", error));
    EXPECT_THAT(error, HasSubstr("/nonexistent-dir/trace.txt"));
}

TEST(PortBusOptions, ParsesEveryPortOption) {
    PortBusOptions options;
    std::string error;
    const char* args[] = {"--ports=sim",
                          "--port-trace=/tmp/t.txt",
                          "--com1=/dev/ttyUSB0",
                          "--com4=/dev/ttyS3",
                          "--lpt1=/dev/parport0",
                          "--lpt3=x",
                          "--gameport=/dev/input/js0",
                          "--paddle-keys=LEFTCTRL,RIGHTCTRL",
                          "--speaker=wav:/tmp/t.wav"};
    for (const char* arg : args) {
        EXPECT_TRUE(ParsePortBusOption(arg, options, error)) << arg;
        EXPECT_EQ(error, "") << arg;
    }
    EXPECT_EQ(options.ports, "sim");
    EXPECT_EQ(options.portTrace, "/tmp/t.txt");
    EXPECT_EQ(options.com[0], "/dev/ttyUSB0");
    EXPECT_EQ(options.com[3], "/dev/ttyS3");
    EXPECT_EQ(options.lpt[0], "/dev/parport0");
    EXPECT_EQ(options.lpt[2], "x");
    EXPECT_EQ(options.gameport, "/dev/input/js0");
    EXPECT_EQ(options.paddleKeys, "LEFTCTRL,RIGHTCTRL");
    EXPECT_EQ(options.speaker, "wav:/tmp/t.wav");

    // Values that cannot work are usage errors before any device is opened.
    EXPECT_TRUE(ParsePortBusOption("--speaker=pulse", options, error));
    EXPECT_NE(error, "");
    error.clear();
    EXPECT_TRUE(ParsePortBusOption("--paddle-keys=ctrl", options, error));
    EXPECT_NE(error, "");
    error.clear();
    EXPECT_EQ(options.speaker, "wav:/tmp/t.wav");

    EXPECT_FALSE(ParsePortBusOption("--verbose", options, error));
    EXPECT_FALSE(ParsePortBusOption("--com5=/dev/ttyS4", options, error));
    EXPECT_FALSE(ParsePortBusOption("Telkey.ini", options, error));
    EXPECT_EQ(error, "");
}

TEST(PortBusOptions, BadValuesAreErrors) {
    PortBusOptions options;
    std::string error;
    EXPECT_TRUE(ParsePortBusOption("--ports=lpt", options, error));
    EXPECT_THAT(error, HasSubstr("--ports=lpt"));
    EXPECT_EQ(options.ports, "devices");  // the default stays
    error.clear();
    EXPECT_TRUE(ParsePortBusOption("--port-trace=", options, error));
    EXPECT_FALSE(error.empty());
}

TEST(MakePortBus, NoneAndSimBackends) {
    PortBusOptions options;
    options.ports = "none";
    PortBusResult none = MakePortBus(options);
    ASSERT_NE(none.bus, nullptr);
    EXPECT_EQ(none.bus->in(0x201), 0xFF);
    EXPECT_EQ(none.error, "");

    options.ports = "sim";
    PortBusResult sim = MakePortBus(options);
    ASSERT_NE(sim.bus, nullptr);
    EXPECT_NE(dynamic_cast<SimPortBus*>(sim.bus.get()), nullptr);

    options.portTrace = "/nonexistent-dir/trace.txt";
    PortBusResult bad = MakePortBus(options);
    EXPECT_EQ(bad.bus, nullptr);
    EXPECT_THAT(bad.error, HasSubstr("trace"));

    options.ports = "none";
    PortBusResult ignored = MakePortBus(options);
    ASSERT_NE(ignored.bus, nullptr);
    EXPECT_THAT(ignored.warnings, ElementsAre(HasSubstr("--port-trace")));
}

}  // namespace
}  // namespace telkey
