#pragma once
// --speaker=pcspkr: the sidetone on the PC's own speaker through the kernel's pcspkr input
// device (EV_SND SND_TONE). The kernel keeps a tone going after the program dies, so the crash
// handler silences it too.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "backends/devices_layer.h"
#include "backends/devices_speaker.h"

namespace telkey {

class PcSpeakerSink final : public SpeakerSink {
  public:
    // Finds and opens the device; null with `message` set when there is none or it is refused.
    static std::unique_ptr<PcSpeakerSink> Open(DeviceLayer& layer, std::string& message);
    ~PcSpeakerSink() override;

    void Tone(std::uint32_t divisor) noexcept override;
    void Silence() noexcept override;
    void SilenceFromSignal() noexcept override;
    void GuardLines(LineGuard& guard) noexcept override;

  private:
    PcSpeakerSink(DeviceLayer& layer, int fd) : layer_(layer), fd_(fd) {}
    void Send(int hz) noexcept;

    DeviceLayer& layer_;
    std::atomic<int> fd_;
};

}  // namespace telkey
