#pragma once
// Settings words the keyer reads on every tick; written by the window thread as single stores.
#include <atomic>
#include <cstdint>

namespace telkey {

struct KeyerSettings {
    // Element lengths in ticks (speed control); 0 until the first speed is applied.
    std::atomic<std::int32_t> DotTicks{0};
    std::atomic<std::int32_t> DashTicks{0};
    std::atomic<std::int32_t> WeightTicks{0};
    // Length of one tick in ms (keyer timer).
    std::atomic<std::int32_t> TickMs{0};
    // Keying options.
    std::atomic<std::int32_t> IsYamb{1};
    std::atomic<std::int32_t> MoxOn{0};
    std::atomic<std::int32_t> TxAtPaddle{1};
    std::atomic<std::int32_t> PaddleDelay{10};
    // The lead before the first text element after the TX line came on, in ms, when a client
    // program set its own; 0 leaves it at PaddleDelay.
    std::atomic<std::int32_t> PttLeadMs{0};
    std::atomic<std::int32_t> RxAtSilence{1};
    std::atomic<std::int32_t> SilenceLen{8};
    std::atomic<std::int32_t> PauseAtPaddle{0};
};

}  // namespace telkey
