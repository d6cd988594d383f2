#include "transmit/queue_marks.h"

#include "engine/codepage1251.h"
#include "engine/morse_tables.h"

namespace telkey {

std::uint8_t QueueCharToCode(char16_t ch) noexcept {
    if (IsQueueCodeChar(ch)) return static_cast<std::uint8_t>(ch - kQueueCodeFirst);
    return CharToCode(UnicodeToCp1251(ch));
}

void QueueMarks::Handed(std::uint8_t code) noexcept {
    ++activity_;
    if (code != CodeRx && code != CodePause) ++awaited_;
}

void QueueMarks::Echoed(std::uint8_t code) {
    // Paddle characters echo without a hand-over.
    if (awaited_ == 0 && paddleEchoed) paddleEchoed(code);
    Withdrawn();
}

void QueueMarks::Withdrawn() noexcept {
    ++activity_;
    if (awaited_ > 0) --awaited_;
}

}  // namespace telkey
