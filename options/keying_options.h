#pragma once
// Keying options that only the window thread reads. The options the keyer reads live in the
// engine's KeyerSettings (MoxOn, TxAtPaddle, PaddleDelay, RxAtSilence, SilenceLen,
// PauseAtPaddle, IsYamb) and PortSettings (UseSpeaker).
#include <array>
#include <atomic>
#include <cstdint>
#include <string>

class QAction;
class QActionGroup;

namespace telkey {

struct KeyingOptions {
    std::int32_t TxAtKeyboard = 1;
    std::int32_t RxAtFreeBuffer = 0;
    std::int32_t PauseOffAtRx = 0;
    std::int32_t OnTop = 0;
};

// The values offered by the "Delay" (ms) and "Silence len" (dot lengths) radio items.
inline constexpr std::array<std::int32_t, 11> kPaddleDelayChoices{2,  5,   10,  15,  20, 30,
                                                                  50, 100, 150, 200, 300};
inline constexpr std::array<std::int32_t, 14> kSilenceLenChoices{1, 2, 3,  4,  5,  6,  7,
                                                                 8, 9, 10, 15, 20, 30, 50};

// "TX On at paddle press with %d ms keying delay"
std::string PaddleDelayCaption(std::int32_t paddleDelay);
// "TX Off at %d dots silence"
std::string SilenceLenCaption(std::int32_t silenceLen);

// A click on a check item: the flag becomes 1 - flag and the check mark shows the new value.
void ToggleCheckItem(std::int32_t& flag, QAction& item);
void ToggleCheckItem(std::atomic<std::int32_t>& flag, QAction& item);

// Puts the check mark on the radio item whose value (its data) equals `value`; when no item
// carries the value, no item keeps a check mark.
void CheckRadioValue(QActionGroup& group, std::int32_t value);

}  // namespace telkey
