#pragma once
// The real program's port trace ("<microseconds> <port hex> <value hex>" per write) read back:
// the key line's downs on LPT1 and their Morse, to compare with the Morse of a text.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace telkey::test::morse_trace {

// LPT1's data register: the key port of KeyPortNumber 5; bit 0 keys, bit 1 is TX.
constexpr unsigned kLptData = 0x378;
constexpr unsigned kKeyBit = 0x01;
constexpr unsigned kTxBit = 0x02;

struct Write {
    std::uint64_t us;
    unsigned port;
    unsigned value;
};

inline std::vector<Write> ReadTrace(const std::string& path) {
    std::vector<Write> writes;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        unsigned long long us = 0;
        unsigned port = 0;
        unsigned value = 0;
        if (std::sscanf(line.c_str(), "%llu %x %x", &us, &port, &value) == 3) {
            writes.push_back({us, port, value});
        }
    }
    return writes;
}

struct KeyDown {
    std::uint64_t from;
    std::uint64_t to;
    bool txOn;
};

inline std::vector<KeyDown> KeyDowns(const std::vector<Write>& writes) {
    std::vector<KeyDown> downs;
    bool down = false;
    for (const Write& w : writes) {
        if (w.port != kLptData) continue;
        const bool key = (w.value & kKeyBit) != 0;
        if (key && !down) downs.push_back({w.us, w.us, (w.value & kTxBit) != 0});
        if (!key && down) downs.back().to = w.us;
        down = key;
    }
    if (down) downs.pop_back();
    return downs;
}

// How often the TX line went from off to on.
inline int TxSwitchedOn(const std::vector<Write>& writes) {
    int count = 0;
    bool on = false;
    for (const Write& w : writes) {
        if (w.port != kLptData) continue;
        const bool now = (w.value & kTxBit) != 0;
        count += now && !on;
        on = now;
    }
    return count;
}

// International Morse of the characters the tests key.
inline const std::map<char, std::string>& MorseTable() {
    static const std::map<char, std::string> table{
        {'A', ".-"},   {'B', "-..."}, {'C', "-.-."}, {'D', "-.."}, {'E', "."},     {'K', "-.-"},
        {'L', ".-.."}, {'Q', "--.-"}, {'S', "..."},  {'T', "-"},   {'1', ".----"}, {' ', "/"}};
    return table;
}

inline std::string MorseOf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (!out.empty()) out += ' ';
        out += MorseTable().at(c);
    }
    return out;
}

// Dots and dashes in a text's Morse: the key-downs it takes.
inline std::size_t ElementsOf(const std::string& text) {
    const std::string morse = MorseOf(text);
    return static_cast<std::size_t>(
        std::count_if(morse.begin(), morse.end(), [](char c) { return c == '.' || c == '-'; }));
}

// The key-downs as Morse: "." or "-" by length, a blank between characters, " / " between
// words. `dotUs` comes back as the shortest key-down.
inline std::string Decode(const std::vector<KeyDown>& downs, std::uint64_t& dotUs) {
    if (downs.empty()) return {};
    dotUs = downs.front().to - downs.front().from;
    for (const KeyDown& d : downs) dotUs = std::min(dotUs, d.to - d.from);
    std::string out;
    for (std::size_t i = 0; i < downs.size(); ++i) {
        if (i > 0) {
            // A late wake-up of the machine only ever lengthens a gap as the trace's clock sees
            // it, so the thresholds sit just below the letter gap (3 dots) and the word gap (7).
            const std::uint64_t gap = downs[i].from - downs[i - 1].to;
            if (gap * 10 > 60 * dotUs) {
                out += " / ";
            } else if (gap * 10 > 27 * dotUs) {
                out += ' ';
            }
        }
        out += downs[i].to - downs[i].from < 2 * dotUs ? '.' : '-';
    }
    return out;
}

// The median length of the dots (key-downs shorter than two of the shortest): the speed keyed.
// Unlike the shortest, it holds when a stalled wake-up of the machine cut one element short.
inline std::uint64_t MedianDotUs(const std::vector<KeyDown>& downs, std::uint64_t shortestUs) {
    std::vector<std::uint64_t> dots;
    for (const KeyDown& d : downs) {
        if (d.to - d.from < 2 * shortestUs) dots.push_back(d.to - d.from);
    }
    if (dots.empty()) return 0;
    std::nth_element(dots.begin(), dots.begin() + dots.size() / 2, dots.end());
    return dots[dots.size() / 2];
}

}  // namespace telkey::test::morse_trace
