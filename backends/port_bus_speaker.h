#pragma once
// The speaker in front of any backend, and the sinks --speaker= names.
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backends/port_bus_devices.h"

namespace telkey {

// The speaker in front of another bus (none, sim): --speaker= works with every backend.
class SpeakerPortBus final : public PortBus, public DeviceSupervision, private CrashReleasable {
  public:
    SpeakerPortBus(std::unique_ptr<PortBus> inner, std::unique_ptr<SpeakerSink> sink,
                   std::shared_ptr<DeviceNotices> notices);
    ~SpeakerPortBus() override;
    SpeakerPortBus(const SpeakerPortBus&) = delete;
    SpeakerPortBus& operator=(const SpeakerPortBus&) = delete;

    std::uint8_t in(std::uint16_t port) override;
    void out(std::uint16_t port, std::uint8_t value) override;
    void GuardLines(LineGuard& guard) noexcept override;
    // The speaker's registers are no paddle's.
    bool InputAnnounced(std::uint16_t port) const noexcept override {
        return inner_->InputAnnounced(port);
    }
    void SetInputWake(WakeWord* wake) noexcept override { inner_->SetInputWake(wake); }

    void WatchKeyer(const Keyer&, const PortSettings&) noexcept override {}
    void StopWatchingKeyer() noexcept override {}
    DeviceNotices& Notices() noexcept override { return *notices_; }
    PortBus& Inner() const noexcept { return *inner_; }

  private:
    void ReleaseFromSignal() noexcept override;

    std::unique_ptr<PortBus> inner_;
    std::shared_ptr<DeviceNotices> notices_;
    std::unique_ptr<SpeakerSink> sink_;
    SpeakerDecoder speaker_;
};

// Checks a --speaker= value: audio, wav:FILE, pcspkr or none.
bool CheckSpeakerOption(std::string_view value, std::string& error);

// The sink --speaker= names ("" = audio). A sink that cannot be had adds a warning and gives
// null (silent); a bad value or a WAV file that cannot be written sets `error`.
std::unique_ptr<SpeakerSink> MakeSpeakerSink(std::string_view output, DeviceLayer& layer,
                                             std::shared_ptr<DeviceNotices> notices,
                                             std::string& error,
                                             std::vector<std::string>& warnings);

// --speaker= with another backend (none, sim): puts the speaker in front of result.bus.
// Nothing happens for an empty value or "none".
void AddSpeakerToBus(PortBusResult& result, const PortBusOptions& options);

}  // namespace telkey
