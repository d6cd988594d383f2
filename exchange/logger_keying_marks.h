#pragma once
// The loggers' marks in the transmit queue.
#include <QPlainTextEdit>
#include <QTextDocument>

#include "transmit/queue_marks.h"

namespace telkey::logger_marks {

inline constexpr char16_t kMarkTxOff = kQueueEventFirst + 2;
inline constexpr char16_t kMarkTuneEnd = kQueueEventFirst + 3;
// A tune of n seconds (1..99) starts at kMarkTuneFirst + n.
inline constexpr char16_t kMarkTuneFirst = kQueueEventFirst + 0x10;
// Each action waiting for its place in the text has a mark of its own.
inline constexpr char16_t kMarkActionFirst = kQueueEventFirst + 0x100;
inline constexpr char16_t kMarkActionLast = kQueueEventLast;

inline int InputLength(const QPlainTextEdit* input) {
    return input->document()->characterCount() - 1;
}

}  // namespace telkey::logger_marks
