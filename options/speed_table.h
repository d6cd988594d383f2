#pragma once
// The 69 keying speeds, slowest first. Each row fixes the dot length, the speed shown to the
// operator and the keyer tick length; the tick always divides the dot.
#include <array>
#include <cstdint>

namespace telkey {

struct SpeedRow {
    std::int32_t dotMs;   // dot length
    std::int32_t lpm;     // letters per minute, as shown
    std::int32_t tickMs;  // keyer tick length
};

inline constexpr std::array<SpeedRow, 69> kSpeedTable{{
    {6000, 1, 100}, {3000, 2, 100}, {2000, 3, 100}, {1500, 4, 50}, {1200, 5, 50}, {1000, 6, 50},
    {750, 8, 25},   {600, 10, 25},  {400, 15, 10},  {300, 20, 10}, {240, 25, 10}, {200, 30, 10},
    {170, 35, 5},   {150, 40, 5},   {132, 45, 4},   {120, 50, 5},  {110, 55, 5},  {100, 60, 4},
    {92, 65, 4},    {86, 70, 2},    {80, 75, 4},    {75, 80, 5},   {70, 86, 2},   {66, 91, 3},
    {63, 95, 3},    {60, 100, 3},   {57, 105, 3},   {54, 111, 2},  {52, 115, 2},  {50, 120, 2},
    {48, 125, 2},   {46, 130, 2},   {44, 136, 2},   {42, 143, 2},  {40, 150, 2},  {39, 154, 3},
    {38, 158, 2},   {36, 167, 3},   {35, 171, 5},   {34, 176, 2},  {33, 182, 3},  {32, 186, 2},
    {30, 200, 2},   {28, 214, 2},   {26, 231, 2},   {25, 240, 5},  {24, 250, 2},  {22, 273, 1},
    {21, 286, 1},   {20, 300, 1},   {19, 316, 1},   {18, 333, 1},  {17, 353, 1},  {16, 375, 1},
    {15, 400, 1},   {14, 429, 1},   {13, 462, 1},   {12, 500, 1},  {11, 545, 1},  {10, 600, 1},
    {9, 667, 1},    {8, 750, 1},    {7, 857, 1},    {6, 1000, 1},  {5, 1200, 1},  {4, 1500, 1},
    {3, 2000, 1},   {2, 3000, 1},   {1, 6000, 1},
}};

inline constexpr int kSpeedRows = static_cast<int>(kSpeedTable.size());
inline constexpr int kSlowestRow = 0;
inline constexpr int kFastestRow = kSpeedRows - 1;
// The row shown until a speed is applied (60 LPM).
inline constexpr int kDefaultSpeedRow = 17;
inline constexpr std::int32_t kMinSpeed = 1;
inline constexpr std::int32_t kMaxSpeed = 6000;

// The row nearest to a speed, after clamping it to 1..6000; of two equally near rows the slower.
int NearestSpeedRow(std::int32_t speed) noexcept;

// A typed speed as a decimal integer: leading white space, one optional sign, then digits up to
// the first other character. No digits read as 0; values beyond 32 bits saturate.
std::int32_t ParseSpeedText(const char* text) noexcept;

}  // namespace telkey
