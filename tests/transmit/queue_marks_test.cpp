#include "transmit/queue_marks.h"

#include <gtest/gtest.h>

#include <vector>

#include "engine/morse_tables.h"

namespace telkey {
namespace {

TEST(QueueMarks, CodeCharactersKeyTheirLowByteOthersGoThroughTheTable) {
    EXPECT_EQ(QueueCharToCode(QueueCodeChar(0x22)), 0x22);
    EXPECT_EQ(QueueCharToCode(QueueCodeChar(0xC5)), 0xC5);
    EXPECT_EQ(QueueCharToCode(u'a'), 0x05);
    EXPECT_EQ(QueueCharToCode(u'}'), CodeRx);
    // Outside code page 1251, and not a code character: a word space.
    EXPECT_EQ(QueueCharToCode(u'\u20AC' + 1), CodeWordSpace);
    EXPECT_FALSE(IsQueueEventMark(QueueCodeChar(0xFF)));
    EXPECT_TRUE(IsQueueEventMark(kQueueEventFirst));
    EXPECT_TRUE(IsQueueEventMark(kQueueEventLast));
    EXPECT_FALSE(IsQueueEventMark(kQueueEventLast + 1));
}

TEST(QueueMarks, KeyedOnceEveryHandedCodeHasComeBack) {
    QueueMarks marks;
    EXPECT_TRUE(marks.Keyed());
    marks.Handed(0x05);
    marks.Handed(CodeWordSpace);
    EXPECT_EQ(marks.Awaited(), 2);
    marks.Echoed();
    EXPECT_FALSE(marks.Keyed());
    marks.Echoed();
    EXPECT_TRUE(marks.Keyed());
    // Control codes come back as no echo; paddle characters echo without a hand-over.
    marks.Handed(CodeRx);
    marks.Handed(CodePause);
    EXPECT_TRUE(marks.Keyed());
    marks.Echoed();
    EXPECT_EQ(marks.Awaited(), 0);
    EXPECT_EQ(marks.Activity(), 7u);
}

TEST(QueueMarks, ForgetAndActions) {
    QueueMarks marks;
    marks.Handed(0x02);
    marks.Forget();
    EXPECT_TRUE(marks.Keyed());
    std::vector<char16_t> reached;
    marks.Reached(kQueueEventFirst);  // no action: nothing happens
    marks.action = [&](char16_t mark) { reached.push_back(mark); };
    marks.Reached(kQueueEventFirst + 5);
    EXPECT_EQ(reached, std::vector<char16_t>{kQueueEventFirst + 5});
}

}  // namespace
}  // namespace telkey
