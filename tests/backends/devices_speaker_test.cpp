// The PC speaker's registers decoded into tone on and off, the sinks that make it heard, and
// --speaker= with every backend.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "backends/devices_audio_sink.h"
#include "backends/devices_pcspkr_sink.h"
#include "backends/port_bus_sim.h"
#include "backends/port_bus_speaker.h"
#include "support/scratch_dir.h"
#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class RecordingSink final : public SpeakerSink {
  public:
    void Tone(std::uint32_t divisor) noexcept override { tones.push_back(divisor); }
    void Silence() noexcept override { ++silenced; }
    std::vector<std::uint32_t> tones;
    int silenced = 0;
};

TEST(SpeakerDecoder, ControlWordDivisorAndGate) {
    RecordingSink sink;
    SpeakerDecoder speaker(&sink);
    speaker.Out(0x43, 0xB6);  // channel 2, low then high byte, mode 3, binary
    speaker.Out(0x42, 0xA9);
    speaker.Out(0x42, 0x04);
    EXPECT_EQ(speaker.Divisor(), 1193u);
    EXPECT_NEAR(ToneHz(speaker.Divisor()), 1000.2, 0.05);
    EXPECT_TRUE(sink.tones.empty());  // the gate is still shut
    speaker.Out(0x61, speaker.In(0x61) | 0x03);
    EXPECT_THAT(sink.tones, ElementsAre(1193u));
    EXPECT_EQ(speaker.Sounding(), 1193u);
    speaker.Out(0x61, speaker.In(0x61) & 0xFC);
    EXPECT_THAT(sink.tones, ElementsAre(1193u, 0u));
}

TEST(SpeakerDecoder, PortSixtyOneReadsBackAsWrittenAndNeedsBothBits) {
    RecordingSink sink;
    SpeakerDecoder speaker(&sink);
    EXPECT_EQ(speaker.In(0x61), 0x00);
    speaker.Out(0x43, 0xB6);
    speaker.Out(0x42, 0x00);
    speaker.Out(0x42, 0x10);
    speaker.Out(0x61, 0x4D);  // gate on, speaker data off
    EXPECT_EQ(speaker.In(0x61), 0x4D);
    EXPECT_TRUE(sink.tones.empty());
    speaker.Out(0x61, 0x4F);
    EXPECT_THAT(sink.tones, ElementsAre(0x1000u));
}

TEST(SpeakerDecoder, AccessModesOtherChannelsAndOneShots) {
    RecordingSink sink;
    SpeakerDecoder speaker(&sink);
    speaker.Out(0x61, 0x03);
    speaker.Out(0x43, 0x96);  // low byte only, mode 3
    speaker.Out(0x42, 0xC8);
    EXPECT_EQ(speaker.Divisor(), 200u);
    speaker.Out(0x43, 0xA6);  // high byte only
    speaker.Out(0x42, 0x02);
    EXPECT_EQ(speaker.Divisor(), 512u);
    speaker.Out(0x43, 0x36);  // channel 0: not the speaker's
    speaker.Out(0x43, 0x80);  // counter latch of channel 2: the mode stays
    speaker.Out(0x42, 0x03);
    EXPECT_EQ(speaker.Divisor(), 768u);
    speaker.Out(0x43, 0xB0);  // mode 0, a one-shot: no tone
    EXPECT_EQ(speaker.Sounding(), 0u);
    speaker.Out(0x43, 0xB6);
    speaker.Out(0x42, 0x00);
    speaker.Out(0x42, 0x00);  // a count of 0 is 65536
    EXPECT_EQ(speaker.Sounding(), 65536u);
    // Each control word stops the counter until the count is loaded.
    EXPECT_THAT(sink.tones, ElementsAre(200u, 0u, 512u, 768u, 0u, 65536u));
}

class SpeakerBusTest : public DevicesFixture {
  protected:
    void SetUp() override {
        Build(Config());
        auto owned = std::make_unique<RecordingSink>();
        sink = owned.get();
        bus->SetSpeakerSink(std::move(owned));
        settings().UseSpeaker = 1;
        settings().ToneDivisor = 1193;
    }
    RecordingSink* sink = nullptr;
};

TEST_F(SpeakerBusTest, KeyDownSoundsTheToneAndKeyUpStopsIt) {
    ports().SetKey(1);
    EXPECT_THAT(sink->tones, ElementsAre(1193u));
    ports().SetKey(0);
    EXPECT_THAT(sink->tones, ElementsAre(1193u, 0u));
    // A new tone takes effect at the next element.
    settings().ToneDivisor = ToneDivisor(600);
    ports().SetKey(1);
    EXPECT_THAT(sink->tones, ElementsAre(1193u, 0u, 1989u));
}

TEST_F(SpeakerBusTest, SpeakerSwitchedOffWhileSoundingStillFallsSilent) {
    ports().SetKey(1);
    settings().UseSpeaker = 0;
    ports().SetKey(0);
    EXPECT_THAT(sink->tones, ElementsAre(1193u, 0u));
    ports().SetKey(1);
    EXPECT_THAT(sink->tones, ElementsAre(1193u, 0u));
}

TEST(PcSpeakerSink, FoundThroughProcAndSilencedAtTheEnd) {
    FakeDeviceLayer layer;
    layer.AddText("/proc/bus/input/devices",
                  "I: Bus=0011 Vendor=0001\nN: Name=\"AT Translated Set 2 keyboard\"\n"
                  "H: Handlers=sysrq kbd event0 leds\n\n"
                  "I: Bus=0010 Vendor=001f Product=0001\nN: Name=\"PC Speaker\"\n"
                  "H: Handlers=kbd event4 \n\n");
    const int spkr = layer.AddPcSpeaker("/dev/input/event4");
    std::string message;
    auto sink = PcSpeakerSink::Open(layer, message);
    ASSERT_NE(sink, nullptr) << message;
    sink->Tone(1193);
    EXPECT_EQ(layer.Lines(spkr).tone.load(), 1000);
    sink->Tone(0);
    EXPECT_EQ(layer.Lines(spkr).tone.load(), 0);
    sink->Tone(ToneDivisor(750));
    sink.reset();
    EXPECT_EQ(layer.Lines(spkr).tone.load(), 0);
    EXPECT_EQ(layer.OpenDescriptors(), 0);
}

TEST(PcSpeakerSink, MissingDeviceSaysHowToGetIt) {
    FakeDeviceLayer layer;
    std::string message;
    EXPECT_EQ(PcSpeakerSink::Open(layer, message), nullptr);
    EXPECT_THAT(message, HasSubstr("modprobe pcspkr"));
}

TEST(SpeakerOption, ValuesAndErrors) {
    std::string error;
    for (const char* good : {"", "audio", "pcspkr", "none", "wav:/tmp/x.wav"}) {
        EXPECT_TRUE(CheckSpeakerOption(good, error)) << good;
    }
    EXPECT_FALSE(CheckSpeakerOption("wav:", error));
    EXPECT_FALSE(CheckSpeakerOption("pulse", error));
    EXPECT_THAT(error, HasSubstr("--speaker=audio, wav:FILE, pcspkr or none"));

    PortBusOptions options;
    options.ports = "sim";
    options.speaker = "beeper";
    PortBusResult bad = MakePortBus(options);
    EXPECT_EQ(bad.bus, nullptr);
    EXPECT_THAT(bad.error, HasSubstr("--speaker="));
    options.speaker = "wav:/nonexistent-dir/side.wav";
    PortBusResult unwritable = MakePortBus(options);
    EXPECT_EQ(unwritable.bus, nullptr);
    EXPECT_THAT(unwritable.error, HasSubstr("/nonexistent-dir/side.wav"));
}

TEST(SpeakerOption, WorksInFrontOfTheSimBackend) {
    ScratchDir dir;
    PortBusOptions options;
    options.ports = "sim";
    options.speaker = "wav:" + dir / "side.wav";
    PortBusResult result = MakePortBus(options);
    ASSERT_NE(result.bus, nullptr) << result.error;
    ASSERT_NE(result.devices, nullptr);
    PortSettings settings;
    settings.UseSpeaker = 1;
    SharedFlags flags;
    Ports ports(*result.bus, settings, flags);
    ports.SetKey(1);
    EXPECT_EQ(result.bus->in(0x61) & 0x03, 0x03);
    ports.SetKey(0);
    // The sim backend still records every write.
    auto* speaker = dynamic_cast<SpeakerPortBus*>(result.bus.get());
    ASSERT_NE(speaker, nullptr);
    auto& sim = dynamic_cast<SimPortBus&>(speaker->Inner());
    EXPECT_THAT(sim.ValuesWrittenTo(0x42), ElementsAre(0xA9, 0x04));
    // The paddle behind the speaker still announces its changes: the keyer need not poll it.
    EXPECT_TRUE(ports.PaddleAnnounced());
    result.bus.reset();
    EXPECT_GT(ReadBytes(dir / "side.wav").size(), 44u);
}

TEST(SpeakerOption, DevicesIsTheDefaultAndUnmappedAddressesActAsNone) {
    PortBusOptions options;
    EXPECT_EQ(options.ports, "devices");
    options.speaker = "none";
    PortBusResult result = MakePortBus(options);
    ASSERT_NE(result.bus, nullptr) << result.error;
    EXPECT_TRUE(result.warnings.empty());
    ASSERT_NE(result.devices, nullptr);
    for (std::uint16_t port : {0x201, 0x3FE, 0x3F8, 0x379, 0x2FE, 0x1234}) {
        EXPECT_EQ(result.bus->in(port), 0xFF) << port;
    }
    result.bus->out(0x3FC, 0x03);
    result.bus->out(0x61, 0x4F);
    EXPECT_EQ(result.bus->in(0x61), 0x4F);
}

// A sound server that is not there, or that takes the connection and never answers, must not
// slow the keyer's tone changes; the notice tells the operator.
class AudioSinkTest : public ::testing::Test {
  protected:
    void TimeToneChanges(AudioSpeakerSink& sink) {
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 2000; ++i) sink.Tone(i % 2 ? 1193 : 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
    ScratchDir dir;
};

TEST_F(AudioSinkTest, AbsentServerNeverDelaysTheKeyer) {
    if (!AudioSinkAvailable()) GTEST_SKIP() << "built without libpulse";
    ScopedEnv server("PULSE_SERVER", "unix:" + dir / "no-such-socket");
    auto notices = std::make_shared<DeviceNotices>();
    AudioSpeakerSink sink(notices);
    TimeToneChanges(sink);
    for (int i = 0; i < 500 && notices->Serial() == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_THAT(notices->StatusText(), HasSubstr("Sidetone: no sound server"));
    EXPECT_FALSE(sink.Connected());
}

TEST_F(AudioSinkTest, StalledServerNeverDelaysTheKeyerNorTheEnd) {
    if (!AudioSinkAvailable()) GTEST_SKIP() << "built without libpulse";
    // A socket that takes connections and never says a word.
    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string path = dir / "stalled";
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    ScopedEnv server("PULSE_SERVER", "unix:" + path);
    const auto start = std::chrono::steady_clock::now();
    {
        AudioSpeakerSink sink(std::make_shared<DeviceNotices>());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        TimeToneChanges(sink);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    ::close(listener);
}

}  // namespace
}  // namespace telkey::test
