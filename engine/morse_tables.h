#pragma once
// Morse code numbers: the highest set bit is a start marker, every bit below it one element in
// sending order (0 dot, 1 dash). 0 is a word space.
#include <cstdint>

namespace telkey {

constexpr std::uint8_t CodeWordSpace = 0x00;
constexpr std::uint8_t CodeSevenDots = 0x80;  // also the decoder's "eight or more dots"
constexpr std::uint8_t CodeOverflow = 0x81;   // decoder: over-long character
constexpr std::uint8_t CodeRx = 0xF0;         // return to receive; never keyed
constexpr std::uint8_t CodePause = 0xF1;      // pause; never keyed

// The code keys elements: not a word space and not a control code.
constexpr bool KeysElements(std::uint8_t code) noexcept {
    return code >= 2 && code != CodeRx && code != CodePause;
}

// Code number for one code-page-1251 byte.
std::uint8_t CharToCode(std::uint8_t ch) noexcept;

// Text shown for a code number, a NUL-terminated code-page-1251 string (never null).
const char* CodeText(std::uint8_t code) noexcept;

// Mask of the first element of a code (0 for codes without elements: 0 and 1).
std::uint8_t FirstElementMask(std::uint8_t code) noexcept;

// A received element added to a code being built from the paddle (starts at 1).
std::uint8_t AddElement(std::uint8_t code, bool dash) noexcept;

}  // namespace telkey
