// The speed table and the two pure steps of reading a speed: the text and the nearest row.
#include "options/speed_table.h"

#include <gtest/gtest.h>

#include <climits>

namespace telkey {
namespace {

TEST(SpeedTable, RowsDivideTheirDotIntoWholeTicksAndGetFaster) {
    ASSERT_EQ(kSpeedRows, 69);
    EXPECT_EQ(kSpeedTable.front().lpm, 1);
    EXPECT_EQ(kSpeedTable.back().lpm, 6000);
    for (int i = 0; i < kSpeedRows; ++i) {
        const SpeedRow& row = kSpeedTable[i];
        EXPECT_EQ(row.dotMs % row.tickMs, 0) << "row " << i;
        if (i > 0) {
            EXPECT_LT(kSpeedTable[i - 1].lpm, row.lpm) << "row " << i;
        }
    }
    // A few rows that the keyer's timing hangs on.
    EXPECT_EQ(kSpeedTable[17].dotMs / kSpeedTable[17].tickMs, 25);
    EXPECT_EQ(kSpeedTable[38].dotMs / kSpeedTable[38].tickMs, 7);
    EXPECT_EQ(kSpeedTable[0].tickMs, 100);
    EXPECT_EQ(kSpeedTable[47].tickMs, 1);
}

TEST(SpeedTable, EveryRowSpeedFindsItsOwnRow) {
    for (int i = 0; i < kSpeedRows; ++i) EXPECT_EQ(NearestSpeedRow(kSpeedTable[i].lpm), i);
}

TEST(SpeedTable, TiesGoToTheSlowerRow) {
    EXPECT_EQ(NearestSpeedRow(7), 5);      // 6 and 8 LPM
    EXPECT_EQ(NearestSpeedRow(83), 21);    // 80 and 86 LPM
    EXPECT_EQ(NearestSpeedRow(4500), 67);  // 3000 and 6000 LPM
    EXPECT_EQ(NearestSpeedRow(62), 17);
    int ties = 0;
    for (int speed = 1; speed <= 6000; ++speed) {
        const int row = NearestSpeedRow(speed);
        if (row + 1 < kSpeedRows &&
            speed - kSpeedTable[row].lpm == kSpeedTable[row + 1].lpm - speed) {
            ++ties;
        }
    }
    EXPECT_EQ(ties, 25);
}

TEST(SpeedTable, SpeedsOutsideTheTableAreClamped) {
    EXPECT_EQ(NearestSpeedRow(0), 0);
    EXPECT_EQ(NearestSpeedRow(-40), 0);
    EXPECT_EQ(NearestSpeedRow(7000), 68);
    EXPECT_EQ(NearestSpeedRow(9999), 68);
    EXPECT_EQ(NearestSpeedRow(INT_MAX), 68);
    EXPECT_EQ(NearestSpeedRow(INT_MIN), 0);
}

TEST(SpeedText, ReadsLeadingBlanksOneSignAndDigits) {
    EXPECT_EQ(ParseSpeedText(" +62abc"), 62);
    EXPECT_EQ(ParseSpeedText("\t 150"), 150);
    EXPECT_EQ(ParseSpeedText("-5"), -5);
    EXPECT_EQ(ParseSpeedText("12 34"), 12);
    EXPECT_EQ(ParseSpeedText("007"), 7);
}

TEST(SpeedText, TextWithoutDigitsReadsAsZero) {
    EXPECT_EQ(ParseSpeedText(""), 0);
    EXPECT_EQ(ParseSpeedText("fast"), 0);
    EXPECT_EQ(ParseSpeedText("+"), 0);
    EXPECT_EQ(ParseSpeedText("--5"), 0);
    EXPECT_EQ(ParseSpeedText("a12"), 0);
}

TEST(SpeedText, HugeNumbersSaturate) {
    EXPECT_EQ(ParseSpeedText("99999999999999999999"), INT_MAX);
    EXPECT_EQ(ParseSpeedText("-99999999999999999999"), INT_MIN);
    EXPECT_EQ(NearestSpeedRow(ParseSpeedText("99999999999999999999")), 68);
}

}  // namespace
}  // namespace telkey
