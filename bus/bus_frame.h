#pragma once
// The message bus wire format: a 16-byte frame, little-endian, answered with a 4-byte result.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace telkey {

// "TBK1" in the first four bytes of every frame.
constexpr std::uint32_t kBusFrameMagic = 0x314B4254;
constexpr std::size_t kBusFrameSize = 16;
constexpr std::size_t kBusAnswerSize = 4;

struct BusFrame {
    std::uint32_t msg = 0;
    std::int32_t wParam = 0;
    std::int32_t lParam = 0;
    bool operator==(const BusFrame&) const = default;
};

std::array<std::uint8_t, kBusFrameSize> EncodeBusFrame(const BusFrame& frame);
// Nothing when the bytes are not exactly one well-formed frame.
std::optional<BusFrame> DecodeBusFrame(std::span<const std::uint8_t> bytes);

std::array<std::uint8_t, kBusAnswerSize> EncodeBusAnswer(std::int32_t result);
std::int32_t DecodeBusAnswer(std::span<const std::uint8_t, kBusAnswerSize> bytes);

}  // namespace telkey
