// Sidetone latency: from the keyer's key-down (SetKey on, through the devices backend's speaker
// registers) to the first sample of the tone in the output's buffer, for the WAV sink and, when a
// sound server answers, the sound card's stream (plus the server's own latency to the
// loudspeaker). Also the time the keyer's thread spends in one SetKey with the sidetone on.
// Prints min, median, 95th percentile and worst case; asserts nothing.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "backends/devices_audio_sink.h"
#include "backends/devices_wav_sink.h"
#include "backends/port_bus_devices.h"
#include "engine/ports.h"

namespace {

using namespace telkey;

constexpr int kKeyDowns = 100;
constexpr auto kMark = std::chrono::milliseconds(40);
constexpr auto kSpace = std::chrono::milliseconds(40);
constexpr std::int64_t kGiveUpNs = 500'000'000;

void Report(const char* what, std::vector<double> ms, const char* unit = "ms") {
    if (ms.empty()) {
        std::printf("%-44s no samples\n", what);
        return;
    }
    std::sort(ms.begin(), ms.end());
    const auto at = [&ms](double q) { return ms[static_cast<std::size_t>(q * (ms.size() - 1))]; };
    std::printf("%-44s min %7.3f  p50 %7.3f  p95 %7.3f  max %7.3f %s  (n=%zu)\n", what, ms.front(),
                at(0.5), at(0.95), ms.back(), unit, ms.size());
}

struct Rig {
    std::vector<std::string> warnings;
    DevicesConfig config;
    DevicesPortBus bus{std::make_unique<SystemDeviceLayer>(), config, warnings};
    PortSettings settings;
    SharedFlags flags;
    Ports ports{bus, settings, flags};
    Rig() { settings.UseSpeaker = 1; }
};

// Keys kKeyDowns elements and measures key-down to the first buffered sample of each tone.
std::vector<double> Measure(Rig& rig, const std::function<std::int64_t()>& bufferedAt) {
    std::vector<double> latencies;
    for (int i = 0; i < kKeyDowns; ++i) {
        const std::int64_t before = bufferedAt();
        const std::int64_t keyDown = MonotonicNs();
        rig.ports.SetKey(1);
        std::int64_t buffered = before;
        while ((buffered = bufferedAt()) == before && MonotonicNs() - keyDown < kGiveUpNs) {
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        if (buffered != before) latencies.push_back((buffered - keyDown) / 1e6);
        std::this_thread::sleep_until(std::chrono::steady_clock::now() + kMark -
                                      std::chrono::nanoseconds(MonotonicNs() - keyDown));
        rig.ports.SetKey(0);
        std::this_thread::sleep_for(kSpace);
    }
    return latencies;
}

void SetKeyCost(Rig& rig) {
    constexpr int kCalls = 200000;
    std::vector<double> ns;
    ns.reserve(kCalls);
    for (int i = 0; i < kCalls; ++i) {
        const std::int64_t start = MonotonicNs();
        rig.ports.SetKey(i & 1);
        ns.push_back(static_cast<double>(MonotonicNs() - start) / 1e3);
        // Let the renderer keep up: the queue holds 4096 changes.
        if (i % 2000 == 1999) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    rig.ports.SetKey(0);
    Report("SetKey with the sidetone on (keyer thread)", ns, "us");
}

}  // namespace

int main() {
    const std::string wavPath = (std::filesystem::temp_directory_path() /
                                 ("sidetone-latency-" + std::to_string(::getpid()) + ".wav"))
                                    .string();
    {
        Rig rig;
        std::string error;
        auto sink = WavSpeakerSink::Create(
            wavPath, [] { return MonotonicNs(); }, error);
        if (!sink) {
            std::fprintf(stderr, "%s\n", error.c_str());
            return 1;
        }
        WavSpeakerSink* wav = sink.get();
        rig.bus.SetSpeakerSink(std::move(sink));
        std::printf("Sidetone latency, key-down to the first tone sample in the output buffer\n");
        Report("WAV sink (writer wakes every 10 ms)",
               Measure(rig, [wav] { return wav->LastOnset().bufferedNs; }));
        SetKeyCost(rig);
    }
    std::filesystem::remove(wavPath);

    if (!AudioSinkAvailable()) {
        std::printf("%-44s built without libpulse\n", "Sound server (libpulse)");
        return 0;
    }
    Rig rig;
    auto owned = std::make_unique<AudioSpeakerSink>(rig.bus.SharedNotices());
    AudioSpeakerSink* audio = owned.get();
    rig.bus.SetSpeakerSink(std::move(owned));
    for (int i = 0; i < 300 && !audio->Connected(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!audio->Connected()) {
        std::printf("%-44s no sound server answered: %s\n", "Sound server (libpulse)",
                    rig.bus.Notices().StatusText().c_str());
        return 0;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // let the stream settle
    Report("Sound server stream (to its buffer)",
           Measure(rig, [audio] { return audio->LastOnset().bufferedNs; }));
    std::printf("%-44s %7.3f ms more to the loudspeaker\n",
                "Server latency (pa_simple_get_latency)", audio->LastOnset().serverLatencyNs / 1e6);
    return 0;
}
