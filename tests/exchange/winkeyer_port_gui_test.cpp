// The emulated WinKeyer on the real main window: a logger's side of the real pseudo-terminal,
// opened through the link at 1200 baud, keying in hand-run ticks.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QToolButton>
#include <algorithm>
#include <filesystem>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "exchange/logger_keying.h"
#include "exchange/winkeyer_port.h"
#include "support/keying_fixture.h"
#include "support/scratch_dir.h"

namespace telkey::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint16_t kGamePort = 0x201;
constexpr std::uint8_t kDotPaddle = 0x10;

const Bytes kOpen = {0x00, 0x02};
const Bytes kSerialEcho = {0x0E, kWinkeyerModeSerialEcho};
constexpr std::uint8_t kIdle = kWinkeyerStatus;
constexpr std::uint8_t kBusy = kWinkeyerStatus | kWinkeyerStatusBusy;

class Winkeyer : public KeyingFixture {
  protected:
    void SetUp() override {
        StartKeying();
        keying = std::make_unique<LoggerKeying>(
            LoggerTargets{&w.engine, &w.form.speed, w.form.txControl.get(),
                          w.form.transmitQueue.get(), w.form.Input, w.form.SpeakerButton});
        keying->SetLogSink([this](const std::string& line) { log.push_back(line); });
        port = std::make_unique<WinkeyerPort>(*keying);
        port->SetLogSink([this](const std::string& line) { log.push_back(line); });
        link = std::filesystem::path(dir.Path()) / "telkey" / "winkeyer";
        std::string error;
        ASSERT_TRUE(port->Open(link.string(), error)) << error;
        OpenClient();
        Write(kOpen);
        EXPECT_EQ(Read(1), Bytes{kWinkeyerVersion});
    }
    void TearDown() override {
        if (client >= 0) ::close(client);
    }

    // The logger's open: raw, 1200 baud, 8 data bits and 2 stop bits, as WinKeyer wants.
    void OpenClient() {
        client = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ASSERT_GE(client, 0);
        termios line{};
        ASSERT_EQ(::tcgetattr(client, &line), 0);
        ::cfmakeraw(&line);
        ::cfsetspeed(&line, B1200);
        line.c_cflag |= CSTOPB;
        ASSERT_EQ(::tcsetattr(client, TCSANOW, &line), 0);
        ASSERT_TRUE(WaitUntil([&] { return port->LoggerPresent(); }));
    }
    void CloseClient() {
        ::close(client);
        client = -1;
        ASSERT_TRUE(WaitUntil([&] { return !port->LoggerPresent(); }));
    }

    // Writes to the port and lets it read what was written.
    void Write(const Bytes& bytes) {
        const auto before = port->BytesRead();
        ASSERT_EQ(::write(client, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        ASSERT_TRUE(WaitUntil([&] { return port->BytesRead() >= before + bytes.size(); }));
    }
    // What the port sent the logger: at least `atLeast` bytes, within two seconds.
    Bytes Read(std::size_t atLeast = 0) {
        Bytes got;
        WaitUntil([&] {
            std::uint8_t buffer[512];
            for (;;) {
                const ssize_t n = ::read(client, buffer, sizeof buffer);
                if (n <= 0) break;
                got.insert(got.end(), buffer, buffer + n);
            }
            return got.size() >= atLeast;
        });
        return got;
    }

    // Sent as the logger's text was: Telkey shows letters in lower case.
    QString Sent() const { return SentText().toUpper(); }
    static Bytes Text(const std::string& text) { return Bytes(text.begin(), text.end()); }

    ScratchDir dir;
    std::unique_ptr<LoggerKeying> keying;
    std::unique_ptr<WinkeyerPort> port;
    std::filesystem::path link;
    int client = -1;
    std::vector<std::string> log;
};

TEST_F(Winkeyer, TheLinkIsTheSlaveAndAdminCommandsAreAnswered) {
    EXPECT_EQ(std::filesystem::read_symlink(link).string(), port->SlavePath());
    struct stat info {};
    ASSERT_EQ(::stat(port->SlavePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat(link.parent_path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    struct Case {
        const char* what;
        Bytes in;
        Bytes out;
    };
    const Case cases[] = {
        {"echo test", {0x00, 0x04, 'U'}, {'U'}},
        {"status while idle", {0x15}, {kIdle}},
        {"speed pot: 12 wpm from 5", {0x05, 5, 30, 0, 0x07}, {kWinkeyerSpeedPot | 7}},
        {"host open again", kOpen, {kWinkeyerVersion}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Write(c.in);
        EXPECT_EQ(Read(c.out.size()), c.out);
    }
    // Telkey's own speed control moves the logger's pot.
    w.form.speed.Speed = 75;
    w.form.speed.ApplySpeed(true);
    EXPECT_EQ(Read(1), Bytes{kWinkeyerSpeedPot | 10});
}

TEST_F(Winkeyer, TextIsKeyedAndEachCharacterEchoedInOrderWhileBusy) {
    Write(kSerialEcho);
    Write(Text("PARIS"));
    EXPECT_TRUE(Transmitting());
    ASSERT_TRUE(TickUntil([&] { return Sent() == "PARIS" && AllKeyed(); }));
    // .--. .- .-. .. ...
    EXPECT_EQ(KeyDownRuns(),
              (std::vector<int>{25, 75, 75, 25, 25, 75, 25, 75, 25, 25, 25, 25, 25, 25}));
    const Bytes expected = {kBusy, 'P', 'A', 'R', 'I', 'S', kIdle};
    EXPECT_EQ(Read(expected.size()), expected);
}

TEST_F(Winkeyer, XoffPastTwoThirdsAndClearBufferEndsTheElementOnTheAir) {
    Write(Bytes(100, 'E'));
    EXPECT_EQ(port->Buffered(), 100);
    EXPECT_EQ(Read(2), (Bytes{kBusy, kBusy | kWinkeyerStatusXoff}));
    ASSERT_TRUE(TickUntil([&] { return KeyDown(); }));
    Write({0x0A});
    EXPECT_EQ(Read(1), Bytes{kIdle});
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !Transmitting(); }));
    EXPECT_EQ(KeyDownRuns(), std::vector<int>{25});
}

// Clear buffer at each point of "0": the element on the air ends whole, nothing more is keyed.
TEST_F(Winkeyer, ClearBufferAtEachPointOfACharacter) {
    struct Case {
        int ticksIn;   // after the first key-down
        int elements;  // keyed in all, each a whole dash
    };
    const Case cases[] = {{0, 1}, {40, 1}, {74, 1}, {80, 1}, {101, 2}, {250, 3}, {390, 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ticksIn);
        Write(Text("0"));
        ASSERT_TRUE(TickUntil([&] { return KeyDown(); }));
        keyTrace.assign(1, true);
        for (int i = 0; i < c.ticksIn; ++i) Tick();
        Write({0x0A});
        ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !Transmitting(); }));
        for (int i = 0; i < 200; ++i) Tick();
        EXPECT_EQ(KeyDownRuns(), std::vector<int>(static_cast<std::size_t>(c.elements), 75));
        EXPECT_EQ(port->Buffered(), 0);
        Read();
    }
}

TEST_F(Winkeyer, BufferedSpeedChangeActsAtItsPlaceAndCancelGoesBack) {
    Write({'E', 0x1C, 24, 'E', 0x1E, 'E'});
    EXPECT_EQ(w.form.speed.Speed, 60);
    ASSERT_TRUE(TickUntil([&] { return Sent() == "E" && KeyDown(); }));
    EXPECT_GT(w.form.speed.Speed, 100);
    ASSERT_TRUE(TickUntil([&] { return Sent() == "EE" && KeyDown(); }));
    EXPECT_EQ(w.form.speed.Speed, 60);
    ASSERT_TRUE(TickUntil([&] { return Sent() == "EEE" && AllKeyed(); }));
    const std::vector<int> runs = KeyDownRuns();
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0], 25);
    EXPECT_EQ(runs[2], 25);
}

// The logger's lead and tail with its PTT output enabled; Telkey's own without.
TEST_F(Winkeyer, PttLeadAndTail) {
    struct Case {
        std::uint8_t pins;
        int leadTicks;  // from the hand-over to the first key-down, less its two ticks
        int tailTicks;  // from the last key-up to the line going off
    };
    const Case cases[] = {{0x0D, 10, 125}, {0x0C, 25, 0}};
    w.engine.keyerSettings.PaddleDelay.store(100);  // Telkey's own lead: 25 ticks
    w.engine.portSettings.TxMask.store(kTxBit);
    w.engine.keyerSettings.MoxOn.store(0);
    for (const Case& c : cases) {
        SCOPED_TRACE(int{c.pins});
        Write({0x09, c.pins, 0x04, 4, 50});
        Write(Text("E"));
        int lead = 0;
        while (!KeyDown() && lead < 400) {
            Tick();
            ++lead;
        }
        EXPECT_NEAR(lead - 2, c.leadTicks, 1);
        ASSERT_TRUE(TickUntil([&] { return !KeyDown(); }));
        int tail = 0;
        while (TxLineOn() && tail < 400) {
            Tick();
            ++tail;
        }
        EXPECT_NEAR(tail, c.tailTicks, 1);
        ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !Transmitting(); }));
    }
}

TEST_F(Winkeyer, PaddleBreakInClearsTheBufferAndIsReported) {
    Write({0x0E, kWinkeyerModePaddleEcho});
    Write(Text("PARIS PARIS"));
    ASSERT_TRUE(TickUntil([&] { return Sent() == "P"; }));
    w.bus.SetInput(kGamePort, 0xFF ^ kDotPaddle);
    ASSERT_TRUE(TickUntil([&] { return w.engine.keyer.PaddleCharacters() > 0; }));
    w.bus.ClearInput(kGamePort);
    ASSERT_TRUE(WaitUntil([&] { return (port->Status() & kWinkeyerStatusBreakIn) != 0; }));
    EXPECT_EQ(port->Buffered(), 0);
    ASSERT_TRUE(TickUntil([&] { return AllKeyed() && port->Status() == kIdle; }));
    const Bytes got = Read(4);
    ASSERT_GE(got.size(), 3u);
    EXPECT_EQ(got.back(), kIdle);
    EXPECT_NE(std::find(got.begin(), got.end(), kWinkeyerStatus | kWinkeyerStatusBreakIn),
              got.end());
    // The paddle's dot comes back as its letter.
    EXPECT_NE(std::find(got.begin(), got.end(), 'E'), got.end());
    EXPECT_FALSE(Sent().contains("PA"));
}

// The logger closes the port mid-text and opens it again: the text goes on, a command cut short
// is dropped, nothing meant for the first open is read by the second.
TEST_F(Winkeyer, LoggerClosesAndReopensMidText) {
    Write(kSerialEcho);
    Write(Text("PARIS"));
    ASSERT_TRUE(TickUntil([&] { return Sent() == "PA"; }));
    Write({0x02});  // a speed whose value never comes
    CloseClient();
    ASSERT_TRUE(TickUntil([&] { return Sent() == "PARIS" && AllKeyed(); }));
    OpenClient();
    EXPECT_TRUE(Read().empty());
    Write(Text("E"));
    EXPECT_EQ(w.form.speed.Speed, 60);
    ASSERT_TRUE(TickUntil([&] { return Sent() == "PARISE" && AllKeyed(); }));
    EXPECT_EQ(Read(3), (Bytes{kBusy, 'E', kIdle}));
}

// Any bytes at all, then the logger opens afresh, clears and unpauses: the next text is keyed.
TEST_F(Winkeyer, AnyBytesLeaveItKeyingTheNextValidCommand) {
    std::mt19937 random(33);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        Bytes junk(1500);
        for (auto& b : junk) b = static_cast<std::uint8_t>(byte(random));
        ASSERT_EQ(::write(client, junk.data(), junk.size()), static_cast<ssize_t>(junk.size()));
        WaitUntil([&] { return false; }, 50);
        for (int i = 0; i < 500; ++i) Tick();
        CloseClient();
        OpenClient();
        Write({0x00, 0x03, 0x00, 0x02, 0x0A, 0x06, 0x00, 0x02, 12, 0x03, 50, 0x17, 50, 0x09, 0x0C,
               0x04, 0, 0});
        Read();
        // A tune the bytes started ends with the clear, within a tick or two.
        ASSERT_TRUE(TickUntil([&] { return AllKeyed() && !KeyDown(); }));
        keyTrace.clear();
        Write(Text("E"));
        ASSERT_TRUE(TickUntil([&] { return Sent().endsWith("E") && AllKeyed(); }));
        EXPECT_EQ(KeyDownRuns(), std::vector<int>{25});
    }
}

}  // namespace
}  // namespace telkey::test
