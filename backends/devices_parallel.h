#pragma once
// An LPT port's registers on a ppdev node (/dev/parportN): the data register drives D0..D7,
// the status register reads the five input lines.
#include <array>
#include <cstdint>
#include <string>

#include "backends/devices_lines.h"
#include "backends/devices_port_device.h"

namespace telkey {

// LPT1..LPT3 base addresses; data at base, status at base + 1, control at base + 2.
constexpr std::array<std::uint16_t, 3> kLptBase{0x378, 0x278, 0x3BC};
constexpr std::uint16_t kParallelRegisters = 3;
constexpr std::uint16_t kStatusOffset = 1;
// What the status register of a port with nothing plugged in reads (inputs pulled up, BUSY
// inverted); an absent device reads the same.
constexpr std::uint8_t kStatusOpen = 0x7F;

class ParallelDevice final : public PortDevice {
  public:
    ParallelDevice(DeviceLayer& layer, int lptNumber, std::string path, DevicesTiming timing);

    std::uint8_t In(std::uint16_t offset) noexcept;
    void Out(std::uint16_t offset, std::uint8_t value) noexcept;

    // The data lines the device shows, 0 when unknown.
    std::uint8_t LinesOn() const noexcept;
    // Watchdog: drops these data bits at once; the next write puts the wanted value back.
    void Release(std::uint8_t dataBits) noexcept;
    // Crash handler: every data line off.
    void ReleaseFromSignal() noexcept;

  private:
    int OpenFlags() const noexcept override;
    int Setup(int fd) noexcept override;
    int Probe(int fd) noexcept override;
    void Teardown(int fd) noexcept override;
    std::string Advice(int negativeErrno, bool inSetup) const override;

    bool ApplyData(std::uint8_t data) noexcept;

    LineWriter data_;
};

}  // namespace telkey
