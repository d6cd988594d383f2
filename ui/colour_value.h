#pragma once
// Colour values of the settings file: 0 to 16777215 is a direct colour 0x00BBGGRR; a value with
// the top bit set is 0x80000000 plus a system colour index, taken from the desktop palette.
#include <cstdint>

#include <QColor>
#include <QPalette>

namespace telkey {

inline constexpr std::uint32_t kSystemColourFlag = 0x80000000u;

bool IsSystemColour(std::int32_t value);
// The colour a stored value stands for; system colours come from `desktop`.
QColor ColourFromValue(std::int32_t value, const QPalette& desktop);
// The direct colour value of a colour (its alpha is dropped).
std::int32_t ValueFromColour(const QColor& colour);

}  // namespace telkey
