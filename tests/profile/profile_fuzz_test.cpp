// Random and mutated INI texts through the reader and the writer: nothing crashes, a written key
// reads back, and a write changes the bytes of one line at most.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "engine/codepage1251.h"
#include "profile/profile_file.h"
#include "profile/profile_text.h"

namespace telkey {
namespace {

constexpr int kRounds = 20000;
constexpr unsigned kSeed = 20240611;

const std::string_view kPieces[] = {"[",
                                    "]",
                                    "=",
                                    "\r\n",
                                    "\n",
                                    "\r",
                                    ";",
                                    "#",
                                    " ",
                                    "\t",
                                    "\"",
                                    "'",
                                    std::string_view("\0", 1),
                                    "S",
                                    "s",
                                    "Key",
                                    "KEY",
                                    "k",
                                    "[S]",
                                    "[s]\n",
                                    "[T]",
                                    "k=v\n",
                                    "Key = x\n",
                                    "\xEF\xBB\xBF",
                                    "\xC8\xE2",
                                    "\xD0\xB0",
                                    "\xFF",
                                    "\x80",
                                    "\xE2\x82",
                                    "value",
                                    "=\"quoted\"\n"};

std::string RandomText(std::mt19937& rng) {
    std::string text;
    const int pieces = std::uniform_int_distribution<int>(0, 40)(rng);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(kPieces) - 1);
    for (int i = 0; i < pieces; ++i) {
        text += kPieces[pick(rng)];
    }
    return text;
}

std::string Mutate(std::string text, std::mt19937& rng) {
    const int edits = std::uniform_int_distribution<int>(1, 8)(rng);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < edits; ++i) {
        const std::size_t at =
            text.empty() ? 0 : std::uniform_int_distribution<std::size_t>(0, text.size() - 1)(rng);
        switch (std::uniform_int_distribution<int>(0, 2)(rng)) {
            case 0:
                if (!text.empty()) text[at] = static_cast<char>(byte(rng));
                break;
            case 1:
                text.insert(at, 1, static_cast<char>(byte(rng)));
                break;
            default:
                if (!text.empty()) text.erase(at, 1);
                break;
        }
    }
    return text;
}

const std::string kSample =
    "; settings\r\n[Qor_Cw]\r\nSpeed=60\r\nCallOnClear=\"\"\r\n\r\n[MOX]\r\nMoxOn=1\r\n"
    "[Cw_Macros]\r\nMacro1=\"cq cq de ~[MYCALL]\"\r\n";

void CheckText(const std::string& bytes, std::mt19937& rng) {
    const std::string sections[] = {"S", "s", "T", "Qor_Cw", "MOX", "New", ""};
    const std::string keys[] = {"k", "Key", "Speed", "MoxOn", "Fresh"};
    const std::string& section = sections[rng() % std::size(sections)];
    const std::string& key = keys[rng() % std::size(keys)];

    const ProfileText text = SplitProfileText(bytes);
    if (const auto raw = FindProfileValue(text.body, section, key)) {
        const std::string value = DecodeProfileValue(*raw, text.encoding, kProfileValueMax);
        ASSERT_TRUE(IsValidUtf8(value));
    }

    // Every key found in one pass is what a lookup of its own finds.
    std::vector<ProfileLookup> all;
    for (const std::string& s : sections) {
        for (const std::string& k : keys) all.push_back({s, k, std::nullopt});
    }
    FindProfileValues(text.body, all);
    for (const ProfileLookup& lookup : all) {
        ASSERT_EQ(lookup.value, FindProfileValue(text.body, lookup.section, lookup.key))
            << testing::PrintToString(bytes) << " [" << lookup.section << "] " << lookup.key;
    }

    const std::string value = "v" + std::to_string(rng() % 1000);
    const std::string body(text.body);
    const std::string written = SetProfileValue(body, section, key, value);
    const auto back = FindProfileValue(written, section, key);
    ASSERT_TRUE(back.has_value()) << testing::PrintToString(body);
    ASSERT_EQ(*back, value) << testing::PrintToString(body);

    // Whatever the write removed from the old text lies within one line.
    std::size_t prefix = 0;
    while (prefix < body.size() && prefix < written.size() && body[prefix] == written[prefix]) {
        ++prefix;
    }
    std::size_t suffix = 0;
    while (suffix < body.size() - prefix && suffix < written.size() - prefix &&
           body[body.size() - 1 - suffix] == written[written.size() - 1 - suffix]) {
        ++suffix;
    }
    const std::string removed = body.substr(prefix, body.size() - prefix - suffix);
    ASSERT_EQ(removed.find_first_of("\r\n"), std::string::npos) << testing::PrintToString(body);
}

TEST(ProfileFuzzTest, RandomTextsReadAndWriteSafely) {
    std::mt19937 rng(kSeed);
    for (int i = 0; i < kRounds; ++i) {
        CheckText(RandomText(rng), rng);
        if (HasFatalFailure()) return;
    }
}

TEST(ProfileFuzzTest, MutatedSettingsFilesReadAndWriteSafely) {
    std::mt19937 rng(kSeed + 1);
    for (int i = 0; i < kRounds; ++i) {
        CheckText(Mutate(kSample, rng), rng);
        if (HasFatalFailure()) return;
    }
}

TEST(ProfileFuzzTest, DecodedValuesAreBoundedUtf8) {
    std::mt19937 rng(kSeed + 2);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int i = 0; i < 2000; ++i) {
        std::string raw(std::uniform_int_distribution<std::size_t>(0, 5000)(rng), '\0');
        for (char& c : raw) c = static_cast<char>(byte(rng));
        for (const auto encoding : {ProfileEncoding::kUtf8, ProfileEncoding::kCp1251}) {
            const std::string value = DecodeProfileValue(raw, encoding, kProfileValueMax);
            ASSERT_TRUE(IsValidUtf8(value));
            std::size_t chars = 0;
            for (const char c : value) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
            ASSERT_LE(chars, kProfileValueMax);
            ASSERT_EQ(value.find('\0'), std::string::npos);
        }
    }
}

}  // namespace
}  // namespace telkey
