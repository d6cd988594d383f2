#pragma once
// What the cwdaemon listener's parts share: its marks in the transmit queue and its replies.
#include <QPlainTextEdit>
#include <QTextDocument>

#include "transmit/queue_marks.h"

namespace telkey::cwdaemon_detail {

// The listener's event marks in the transmit queue.
inline constexpr char16_t kMarkTxOff = kQueueEventFirst + 2;
inline constexpr char16_t kMarkTuneEnd = kQueueEventFirst + 3;
// A tune of n seconds (1..10) starts at kMarkTuneFirst + n.
inline constexpr char16_t kMarkTuneFirst = kQueueEventFirst + 0x10;
// Each reply or setting waiting for its place in the text has a mark of its own.
inline constexpr char16_t kMarkActionFirst = kQueueEventFirst + 0x100;
inline constexpr char16_t kMarkActionLast = kQueueEventLast;

inline constexpr char kReplyEnd[] = "\r\n";
inline constexpr char kBreakReply[] = "break\r\n";

inline int InputLength(const QPlainTextEdit* input) {
    return input->document()->characterCount() - 1;
}

}  // namespace telkey::cwdaemon_detail
