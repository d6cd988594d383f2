#include "ui/colour_value.h"

#include <array>

namespace telkey {
namespace {

constexpr std::uint32_t kSystemIndexMask = 0xFF;
constexpr std::uint32_t kDirectColourMask = 0x00FFFFFF;
constexpr int kGreenShift = 8;
constexpr int kBlueShift = 16;

struct PaletteEntry {
    QPalette::ColorGroup group;
    QPalette::ColorRole role;
};

// The desktop's own colour for each system colour index (COLOR_SCROLLBAR = 0 to
// COLOR_MENUBAR = 30), by the role the index plays.
constexpr std::array<PaletteEntry, 31> kSystemColours = {{
    {QPalette::Active, QPalette::Button},             // 0 scroll bar
    {QPalette::Active, QPalette::Dark},               // 1 desktop background
    {QPalette::Active, QPalette::Highlight},          // 2 active caption
    {QPalette::Inactive, QPalette::Highlight},        // 3 inactive caption
    {QPalette::Active, QPalette::Window},             // 4 menu
    {QPalette::Active, QPalette::Base},               // 5 window
    {QPalette::Active, QPalette::Shadow},             // 6 window frame
    {QPalette::Active, QPalette::WindowText},         // 7 menu text
    {QPalette::Active, QPalette::Text},               // 8 window text
    {QPalette::Active, QPalette::HighlightedText},    // 9 caption text
    {QPalette::Active, QPalette::Window},             // 10 active border
    {QPalette::Inactive, QPalette::Window},           // 11 inactive border
    {QPalette::Active, QPalette::Dark},               // 12 application workspace
    {QPalette::Active, QPalette::Highlight},          // 13 highlight
    {QPalette::Active, QPalette::HighlightedText},    // 14 highlighted text
    {QPalette::Active, QPalette::Button},             // 15 button face
    {QPalette::Active, QPalette::Dark},               // 16 button shadow
    {QPalette::Disabled, QPalette::Text},             // 17 grey text
    {QPalette::Active, QPalette::ButtonText},         // 18 button text
    {QPalette::Inactive, QPalette::HighlightedText},  // 19 inactive caption text
    {QPalette::Active, QPalette::Light},              // 20 button highlight
    {QPalette::Active, QPalette::Shadow},             // 21 3D dark shadow
    {QPalette::Active, QPalette::Midlight},           // 22 3D light
    {QPalette::Active, QPalette::ToolTipText},        // 23 tool tip text
    {QPalette::Active, QPalette::ToolTipBase},        // 24 tool tip background
    {QPalette::Active, QPalette::Window},             // 25 (unassigned)
    {QPalette::Active, QPalette::Link},               // 26 hot-tracked item
    {QPalette::Active, QPalette::Highlight},          // 27 active caption gradient
    {QPalette::Inactive, QPalette::Highlight},        // 28 inactive caption gradient
    {QPalette::Active, QPalette::Highlight},          // 29 highlighted menu item
    {QPalette::Active, QPalette::Window},             // 30 menu bar
}};

}  // namespace

bool IsSystemColour(std::int32_t value) {
    return (static_cast<std::uint32_t>(value) & kSystemColourFlag) != 0;
}

QColor ColourFromValue(std::int32_t value, const QPalette& desktop) {
    const auto bits = static_cast<std::uint32_t>(value);
    if (IsSystemColour(value)) {
        const std::uint32_t index = bits & kSystemIndexMask;
        // An index the desktop does not know has no colour of its own: black.
        if (index >= kSystemColours.size()) return QColor(Qt::black);
        const PaletteEntry& e = kSystemColours[index];
        return desktop.color(e.group, e.role);
    }
    const std::uint32_t rgb = bits & kDirectColourMask;
    return QColor(static_cast<int>(rgb & 0xFF), static_cast<int>((rgb >> kGreenShift) & 0xFF),
                  static_cast<int>((rgb >> kBlueShift) & 0xFF));
}

std::int32_t ValueFromColour(const QColor& colour) {
    const QColor rgb = colour.toRgb();
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(rgb.red()) |
                                     (static_cast<std::uint32_t>(rgb.green()) << kGreenShift) |
                                     (static_cast<std::uint32_t>(rgb.blue()) << kBlueShift));
}

}  // namespace telkey
