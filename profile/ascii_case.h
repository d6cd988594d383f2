#pragma once
// Names in INI files and on the message bus match without regard to ASCII case, whatever the
// locale.
#include <cstddef>
#include <string_view>

namespace telkey {

constexpr char FoldAsciiCase(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

constexpr bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i])) return false;
    }
    return true;
}

}  // namespace telkey
