#include "bus/bus_frame.h"

namespace telkey {
namespace {

void PutWord(std::uint8_t* out, std::uint32_t value) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

std::uint32_t GetWord(const std::uint8_t* in) {
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) value |= std::uint32_t{in[i]} << (8 * i);
    return value;
}

}  // namespace

std::array<std::uint8_t, kBusFrameSize> EncodeBusFrame(const BusFrame& frame) {
    std::array<std::uint8_t, kBusFrameSize> bytes{};
    PutWord(&bytes[0], kBusFrameMagic);
    PutWord(&bytes[4], frame.msg);
    PutWord(&bytes[8], static_cast<std::uint32_t>(frame.wParam));
    PutWord(&bytes[12], static_cast<std::uint32_t>(frame.lParam));
    return bytes;
}

std::optional<BusFrame> DecodeBusFrame(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kBusFrameSize || GetWord(&bytes[0]) != kBusFrameMagic) return std::nullopt;
    BusFrame frame;
    frame.msg = GetWord(&bytes[4]);
    frame.wParam = static_cast<std::int32_t>(GetWord(&bytes[8]));
    frame.lParam = static_cast<std::int32_t>(GetWord(&bytes[12]));
    return frame;
}

std::array<std::uint8_t, kBusAnswerSize> EncodeBusAnswer(std::int32_t result) {
    std::array<std::uint8_t, kBusAnswerSize> bytes{};
    PutWord(bytes.data(), static_cast<std::uint32_t>(result));
    return bytes;
}

std::int32_t DecodeBusAnswer(std::span<const std::uint8_t, kBusAnswerSize> bytes) {
    return static_cast<std::int32_t>(GetWord(bytes.data()));
}

}  // namespace telkey
