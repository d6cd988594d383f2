#include "options/speed_table.h"

#include <algorithm>
#include <cstdlib>
#include <limits>

namespace telkey {

namespace {

// Every row must divide its dot into whole ticks, and the rows must get faster.
constexpr bool TableIsSound() {
    for (std::size_t i = 0; i < kSpeedTable.size(); ++i) {
        const SpeedRow& row = kSpeedTable[i];
        if (row.tickMs <= 0 || row.dotMs % row.tickMs != 0) return false;
        if (i > 0 && kSpeedTable[i - 1].lpm >= row.lpm) return false;
    }
    return true;
}
static_assert(TableIsSound());
static_assert(kSpeedTable[kDefaultSpeedRow].lpm == 60);

// Larger than any difference between two speeds in the table.
constexpr std::int32_t kNoDifference = 9000;

// ASCII only, whatever the process locale says.
constexpr bool IsBlank(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}
constexpr bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

int NearestSpeedRow(std::int32_t speed) noexcept {
    const std::int32_t clamped = std::clamp(speed, kMinSpeed, kMaxSpeed);
    std::int32_t best = kNoDifference;
    int row = kSlowestRow;
    for (int i = 0; i < kSpeedRows; ++i) {
        const std::int32_t difference = std::abs(clamped - kSpeedTable[i].lpm);
        if (difference < best) {  // strictly closer: a tie keeps the slower row
            best = difference;
            row = i;
        }
    }
    return row;
}

std::int32_t ParseSpeedText(const char* text) noexcept {
    const char* p = text;
    while (IsBlank(*p)) ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    std::int64_t value = 0;
    constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
    while (IsDigit(*p)) {
        value = std::min(value * 10 + (*p - '0'), kLimit);
        ++p;
    }
    if (negative) value = -value;
    return static_cast<std::int32_t>(std::clamp<std::int64_t>(
        value, std::numeric_limits<std::int32_t>::min(), std::numeric_limits<std::int32_t>::max()));
}

}  // namespace telkey
