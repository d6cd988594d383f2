#include "backends/devices_pcspkr_sink.h"

#include <fcntl.h>
#include <linux/input.h>

#include <cerrno>
#include <cmath>
#include <string_view>

#include "backends/devices_discovery.h"
#include "engine/line_guard.h"

namespace telkey {

namespace {

constexpr const char* kByPath = "/dev/input/by-path/platform-pcspkr-event-spkr";
constexpr const char* kInputDevices = "/proc/bus/input/devices";

// The event node of the "PC Speaker" entry in /proc/bus/input/devices, "" when none.
std::string FindInProc(DeviceLayer& layer) {
    const int fd = layer.Open(kInputDevices, O_RDONLY);
    if (fd < 0) return {};
    std::string text;
    char buffer[4096];
    for (long n; (n = layer.Read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    layer.Close(fd);
    // Entries are separated by blank lines; the one named "PC Speaker" lists its handlers.
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find("\n\n", start);
        if (end == std::string::npos) end = text.size();
        const std::string_view entry(text.data() + start, end - start);
        if (entry.find("Name=\"PC Speaker\"") != std::string_view::npos ||
            entry.find("Name=\"pcspkr\"") != std::string_view::npos) {
            const auto at = entry.find("event");
            if (at != std::string_view::npos) {
                auto stop = at + 5;
                while (stop < entry.size() && entry[stop] >= '0' && entry[stop] <= '9') ++stop;
                return "/dev/input/" + std::string(entry.substr(at, stop - at));
            }
        }
        start = end + 2;
    }
    return {};
}

}  // namespace

std::unique_ptr<PcSpeakerSink> PcSpeakerSink::Open(DeviceLayer& layer, std::string& message) {
    std::string path = kByPath;
    int fd = layer.Open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd == -ENOENT) {
        const std::string found = FindInProc(layer);
        if (found.empty()) {
            message =
                "Sidetone: there is no PC speaker device. Load its driver (sudo modprobe "
                "pcspkr), or use --speaker=audio.";
            return nullptr;
        }
        path = found;
        fd = layer.Open(path.c_str(), O_WRONLY | O_NONBLOCK);
    }
    if (fd < 0) {
        message =
            (fd == -EACCES || fd == -EPERM)
                ? "Sidetone: no permission to use the PC speaker (" + path +
                      "). Add a udev rule that gives it to you, or to the input group "
                      "(see " +
                      kHardwareGuideWords + ")."
                : "Sidetone: cannot open the PC speaker (" + path + "): " + ErrorText(fd) + ".";
        return nullptr;
    }
    return std::unique_ptr<PcSpeakerSink>(new PcSpeakerSink(layer, fd));
}

PcSpeakerSink::~PcSpeakerSink() {
    Send(0);
    const int fd = fd_.exchange(-1);
    if (fd >= 0) layer_.Close(fd);
}

void PcSpeakerSink::Send(int hz) noexcept {
    const int fd = fd_.load();
    if (fd < 0) return;
    input_event event{};
    event.type = EV_SND;
    event.code = SND_TONE;
    event.value = hz;
    layer_.Write(fd, &event, sizeof event);
}

void PcSpeakerSink::Tone(std::uint32_t divisor) noexcept {
    Send(divisor == 0 ? 0 : static_cast<int>(std::lround(ToneHz(divisor))));
}

void PcSpeakerSink::Silence() noexcept {
    Send(0);
}

void PcSpeakerSink::SilenceFromSignal() noexcept {
    Send(0);
}

void PcSpeakerSink::GuardLines(LineGuard& guard) noexcept {
    if (const int fd = fd_.load(); fd >= 0)
        guard.Hand(GuardedKind::PcSpeaker, kGuardSlotSpeaker, fd);
}

}  // namespace telkey
