#pragma once
// The one fixed table between Unicode and Windows code page 1251.
#include <cstdint>
#include <string>
#include <string_view>

namespace telkey {

// Byte 0x98 is the one unassigned position of the code page; characters outside the code page
// become it, and the Morse table keys it as a word space.
constexpr std::uint8_t kUnmappedByte = 0x98;

std::uint8_t UnicodeToCp1251(char32_t ch) noexcept;
char32_t Cp1251ToUnicode(std::uint8_t byte) noexcept;

// Whole strings: UTF-8 <-> code page 1251 bytes.
std::string Utf8ToCp1251(std::string_view utf8);
std::string Cp1251ToUtf8(std::string_view bytes);

// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view bytes) noexcept;

}  // namespace telkey
