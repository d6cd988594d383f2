#pragma once
// Keying options that only the window thread reads. The options the keyer reads live in the
// engine's KeyerSettings (MoxOn, TxAtPaddle, PaddleDelay, RxAtSilence, SilenceLen,
// PauseAtPaddle, IsYamb) and PortSettings (UseSpeaker).
#include <cstdint>

namespace telkey {

struct KeyingOptions {
    std::int32_t TxAtKeyboard = 1;
    std::int32_t RxAtFreeBuffer = 0;
    std::int32_t PauseOffAtRx = 0;
    std::int32_t OnTop = 0;
};

}  // namespace telkey
