// "PARIS PARIS" keyed by the real keyer with the sidetone going to a WAV file on the keyer's tick
// clock, read back: the tone's frequency, every mark and space, and no clicks.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>
#include <string_view>

#include "backends/devices_wav_sink.h"
#include "engine/morse_tables.h"
#include "support/scratch_dir.h"
#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

constexpr int kTickMs = 4;
constexpr int kSamplesPerTick = kSampleRate * kTickMs / 1000;
constexpr int kDotTicks = 25;
constexpr int kDashTicks = 75;
constexpr std::uint16_t kDivisor = 1193;

struct KeyRun {
    bool mark;
    int samples;
};

std::uint32_t Le(const std::string& bytes, std::size_t at, int width) {
    std::uint32_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(bytes[at + static_cast<std::size_t>(i)]);
    }
    return value;
}

// Marks and spaces from the envelope: the largest magnitude within half a tone period either
// side, against half the full level.
std::vector<KeyRun> Runs(const std::vector<std::int16_t>& x, double peak, int halfWindow) {
    std::vector<KeyRun> runs;
    const int n = static_cast<int>(x.size());
    for (int i = 0; i < n; ++i) {
        int most = 0;
        for (int j = std::max(0, i - halfWindow); j <= std::min(n - 1, i + halfWindow); ++j) {
            most = std::max(most, std::abs(static_cast<int>(x[static_cast<std::size_t>(j)])));
        }
        const bool mark = most >= peak / 2;
        if (runs.empty() || runs.back().mark != mark) runs.push_back({mark, 0});
        ++runs.back().samples;
    }
    return runs;
}

// The keyer's marks and spaces for a text, in ticks: elements as long as they are, a dot's gap
// inside a character, DashTicks + 1 between characters and 4 dots + 1 more for a word space.
std::vector<KeyRun> IdealRuns(std::string_view text) {
    std::vector<KeyRun> runs;
    int pendingGap = 0;
    for (char c : text) {
        const std::uint8_t code = CharToCode(static_cast<std::uint8_t>(c));
        if (code <= 1) {
            pendingGap += 4 * kDotTicks + 1;
            continue;
        }
        for (std::uint8_t mask = FirstElementMask(code); mask != 0; mask >>= 1) {
            if (pendingGap > 0) runs.push_back({false, pendingGap});
            runs.push_back({true, (code & mask) ? kDashTicks : kDotTicks});
            pendingGap = kDotTicks;
        }
        pendingGap = kDashTicks + 1;
    }
    return runs;
}

class WavSidetoneTest : public DevicesFixture {
  protected:
    void SetUp() override {
        layer.AddSerial("/dev/ttyUSB0");
        DevicesConfig config = Config();
        config.com[0] = "/dev/ttyUSB0";
        Build(config);
        settings().KeyPortNumber = 1;
        settings().UseSpeaker = 1;
        settings().ToneDivisor = kDivisor;
        std::string error;
        auto sink = WavSpeakerSink::Create(
            path, KeyerTickClock(engine->keyer, engine->keyerSettings), error);
        ASSERT_NE(sink, nullptr) << error;
        wav = sink.get();
        bus->SetSpeakerSink(std::move(sink));
    }

    // Keys the text, refilling the mailbox as the keyer takes each code.
    void Key(std::string_view text) {
        std::size_t next = 0;
        for (int tick = 0; tick < 20000; ++tick) {
            if (next < text.size() && engine->mailbox.NextCodeEmpty()) {
                engine->mailbox.Fill(CharToCode(static_cast<std::uint8_t>(text[next++])));
            }
            Tick();
            if (next == text.size() && engine->mailbox.NextCodeEmpty() &&
                engine->keyer.State().KeyerState == Idle) {
                break;
            }
        }
        Tick(100);  // silence at the end
    }

    std::vector<std::int16_t> ReadBack() {
        const std::string bytes = ReadBytes(path);
        EXPECT_GE(bytes.size(), 44u);
        EXPECT_EQ(bytes.substr(0, 4), "RIFF");
        EXPECT_EQ(bytes.substr(8, 8), "WAVEfmt ");
        EXPECT_EQ(Le(bytes, 20, 2), 1u);  // PCM
        EXPECT_EQ(Le(bytes, 22, 2), 1u);  // mono
        EXPECT_EQ(Le(bytes, 24, 4), static_cast<std::uint32_t>(kSampleRate));
        EXPECT_EQ(Le(bytes, 34, 2), 16u);
        EXPECT_EQ(bytes.substr(36, 4), "data");
        const std::uint32_t dataBytes = Le(bytes, 40, 4);
        EXPECT_EQ(Le(bytes, 4, 4), dataBytes + 36);
        EXPECT_EQ(bytes.size(), 44u + dataBytes);
        std::vector<std::int16_t> samples(dataBytes / 2);
        std::memcpy(samples.data(), bytes.data() + 44, samples.size() * 2);
        return samples;
    }

    ScratchDir dir;
    std::string path = dir / "paris.wav";
    WavSpeakerSink* wav = nullptr;
};

TEST_F(WavSidetoneTest, ParisParisReadsBackWithExactTimingToneAndNoClicks) {
    Key("PARIS PARIS");
    ASSERT_EQ(wav->Finish(), "");
    const std::vector<std::int16_t> x = ReadBack();
    const ToneRenderer reference;
    const double peak = reference.Peak();
    const double hz = ToneHz(kDivisor);
    const int period = static_cast<int>(std::lround(kSampleRate / hz));

    // Every mark and space within one tick of the keyer's.
    std::vector<KeyRun> runs = Runs(x, peak, period / 2 + 1);
    ASSERT_FALSE(runs.empty());
    if (!runs.front().mark) runs.erase(runs.begin());  // lead-in before the first element
    if (!runs.empty() && !runs.back().mark) runs.pop_back();
    const std::vector<KeyRun> ideal = IdealRuns("PARIS PARIS");
    ASSERT_EQ(runs.size(), ideal.size());
    for (std::size_t i = 0; i < ideal.size(); ++i) {
        EXPECT_EQ(runs[i].mark, ideal[i].mark) << i;
        EXPECT_NEAR(runs[i].samples, ideal[i].samples * kSamplesPerTick, kSamplesPerTick)
            << (ideal[i].mark ? "mark " : "space ") << i;
    }

    // The tone: zero crossings in the middle of the first dash (P's), interpolated.
    std::size_t start = 0;
    while (x[start] == 0) ++start;
    start += static_cast<std::size_t>(kDotTicks * 2 * kSamplesPerTick);  // past the dot and gap
    const std::size_t from = start + 20 * kSamplesPerTick;
    const std::size_t to = start + (kDashTicks - 20) * kSamplesPerTick;
    double first = -1;
    double last = -1;
    int crossings = 0;
    for (std::size_t i = from; i < to; ++i) {
        if (x[i - 1] < 0 && x[i] >= 0) {
            const double t = static_cast<double>(i - 1) + x[i - 1] / double(x[i - 1] - x[i]);
            if (first < 0) first = t;
            last = t;
            ++crossings;
        }
    }
    ASSERT_GT(crossings, 100);
    const double measured = (crossings - 1) * kSampleRate / (last - first);
    EXPECT_NEAR(measured, hz, 1.0);

    // No click: no step larger than the tone and its ramp allow, and every mark begins and ends
    // at a whisper.
    const double ramp = reference.RampSamples();
    const double allowed =
        peak * (2 * std::numbers::pi * hz / kSampleRate + std::numbers::pi / (2 * ramp)) + 2;
    int biggest = 0;
    for (std::size_t i = 1; i < x.size(); ++i)
        biggest = std::max(biggest, std::abs(x[i] - x[i - 1]));
    EXPECT_LE(biggest, allowed);
    const std::size_t edge = kSampleRate / 2000;  // 0.5 ms
    int marks = 0;
    for (std::size_t i = 1; i + edge < x.size(); ++i) {
        if (x[i - 1] == 0 && x[i - 1 + 1] != 0 && (i < 2 || x[i - 2] == 0)) {
            int loudest = 0;
            for (std::size_t j = i; j < i + edge; ++j)
                loudest = std::max(loudest, std::abs(int{x[j]}));
            EXPECT_LT(loudest, 0.1 * peak) << "rise at sample " << i;
            ++marks;
        }
    }
    EXPECT_GE(marks, static_cast<int>((ideal.size() + 1) / 2));
    for (std::size_t i = edge; i + 2 < x.size(); ++i) {
        if (x[i] != 0 && x[i + 1] == 0 && x[i + 2] == 0) {
            int loudest = 0;
            for (std::size_t j = i + 1 - edge; j <= i; ++j)
                loudest = std::max(loudest, std::abs(int{x[j]}));
            EXPECT_LT(loudest, 0.1 * peak) << "fall at sample " << i;
        }
    }

    // The key line followed the keyer as well: up at the end.
    EXPECT_EQ(layer.Tiocm(0) & (kDtr | kRts), 0);
}

TEST_F(WavSidetoneTest, ToneStillSoundingAtTheEndFallsOffCleanly) {
    engine->mailbox.Fill(CharToCode('T'));
    Tick(20);
    ASSERT_EQ(wav->Finish(), "");
    const std::vector<std::int16_t> x = ReadBack();
    ASSERT_FALSE(x.empty());
    EXPECT_EQ(x.back(), 0);
    EXPECT_GT(*std::max_element(x.begin(), x.end()), ToneRenderer().Peak() * 0.9);
}

struct SilenceCase {
    int ticks;  // between the two letters, after the 100 Key() ends with
    bool cut;
};

class WavSilence : public WavSidetoneTest, public ::testing::WithParamInterface<SilenceCase> {};

TEST_P(WavSilence, ALongSilenceIsCutAndTheFileGoesOnWithTheNextTone) {
    Key("E");
    Tick(GetParam().ticks);
    Key("E");
    ASSERT_EQ(wav->Finish(), "");
    const std::vector<std::int16_t> x = ReadBack();
    const int period = static_cast<int>(std::lround(kSampleRate / ToneHz(kDivisor)));
    std::vector<KeyRun> runs = Runs(x, ToneRenderer().Peak(), period / 2 + 1);
    if (!runs.empty() && !runs.front().mark) runs.erase(runs.begin());
    ASSERT_GE(runs.size(), 3u);
    ASSERT_TRUE(runs[0].mark && !runs[1].mark && runs[2].mark);
    EXPECT_NEAR(runs[0].samples, kDotTicks * kSamplesPerTick, kSamplesPerTick);
    EXPECT_NEAR(runs[2].samples, kDotTicks * kSamplesPerTick, kSamplesPerTick);
    const std::int64_t space = runs[1].samples;
    if (GetParam().cut) {
        // Counted from the first chunk rendered silent: up to a chunk (85 ms) more.
        EXPECT_GE(space, WavSpeakerSink::kKeptSilenceSamples);
        EXPECT_LE(space, WavSpeakerSink::kKeptSilenceSamples + kSampleRate / 10);
    } else {
        EXPECT_GE(space, (100 + GetParam().ticks) * kSamplesPerTick);
        EXPECT_LT(space, WavSpeakerSink::kKeptSilenceSamples);
    }
}

INSTANTIATE_TEST_SUITE_P(Silences, WavSilence,
                         ::testing::Values(SilenceCase{250, false}, SilenceCase{10'000, true}));

// The sound card's stream is rendered in 2 ms chunks: every change still lands on its own sample,
// exactly as if the whole stretch had been rendered at once.
TEST(RenderChunk, ChangesLandOnTheirSamplesAcrossChunks) {
    constexpr std::int64_t kChunkNs = 2'000'000;
    constexpr std::size_t kFrames = SampleAt(kChunkNs);
    const std::vector<ToneEvent> events = {
        {1'000'000, 1193}, {3'500'000, 0}, {3'500'000, 0}, {9'980'000, 2386}, {30'000'000, 0}};
    ToneEventQueue queue;
    for (const ToneEvent& e : events) queue.Push(e);
    ToneRenderer chunked;
    std::vector<std::int16_t> out(20 * kFrames);
    std::vector<std::int64_t> onsets;
    for (std::size_t c = 0; c < 20; ++c) {
        const std::int64_t onset =
            RenderChunk(queue, chunked, static_cast<std::int64_t>(c) * kChunkNs,
                        out.data() + c * kFrames, kFrames);
        if (onset >= 0) onsets.push_back(onset);
    }
    EXPECT_EQ(onsets, (std::vector<std::int64_t>{1'000'000, 9'980'000}));

    ToneRenderer whole;
    std::vector<std::int16_t> expected(out.size());
    std::size_t done = 0;
    for (const ToneEvent& e : events) {
        const auto at = static_cast<std::size_t>(SampleAt(e.timeNs));
        whole.Render(expected.data() + done, at - done);
        whole.SetDivisor(e.divisor);
        done = at;
    }
    whole.Render(expected.data() + done, expected.size() - done);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(out[SampleAt(1'000'000) - 1], 0);
    EXPECT_NE(out[SampleAt(1'000'000) + 10], 0);
}

}  // namespace
}  // namespace telkey::test

namespace telkey::test {
namespace {

// The sound card's volume scales the full tone; the ramps keep their shape.
TEST(ToneRendererLevel, VolumeScalesTheToneFromTheNextSample) {
    ToneRenderer renderer;
    renderer.SetDivisor(1193);
    std::vector<std::int16_t> loud(4800);
    renderer.Render(loud.data(), loud.size());
    renderer.SetLevel(kToneLevel * 40 / kFullVolume);
    std::vector<std::int16_t> soft(4800);
    renderer.Render(soft.data(), soft.size());
    const auto peak = [](const std::vector<std::int16_t>& x) {
        return *std::max_element(x.begin(), x.end());
    };
    EXPECT_NEAR(peak(loud), kToneLevel * kFullScale, 2.0);
    EXPECT_NEAR(peak(soft), 0.4 * kToneLevel * kFullScale, 2.0);
    renderer.SetLevel(0.0);
    renderer.Render(soft.data(), soft.size());
    EXPECT_EQ(peak(soft), 0);
}

}  // namespace
}  // namespace telkey::test
