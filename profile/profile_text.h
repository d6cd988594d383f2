#pragma once
// The INI text itself, in memory: finding a key and rewriting one key's line, byte-exact. The
// file side (paths, reading, atomic replacement) is in profile_file.cpp.
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace telkey {

// How a file's bytes are taken: UTF-8 when they are valid UTF-8 (or begin with a byte order
// mark), else code page 1251, as files brought from Windows are.
enum class ProfileEncoding { kUtf8, kCp1251 };

struct ProfileText {
    std::string_view bom;   // a UTF-8 byte order mark in front, kept as it is
    std::string_view body;  // everything after it
    ProfileEncoding encoding = ProfileEncoding::kUtf8;
};

ProfileText SplitProfileText(std::string_view bytes);

// One key asked for in a pass over the text; `section` and `key` are in the file's encoding.
struct ProfileLookup {
    std::string_view section;
    std::string_view key;
    std::optional<std::string_view> value;  // the raw value, as FindProfileValue gives it
};

// Answers every lookup in one pass over the body.
void FindProfileValues(std::string_view body, std::span<ProfileLookup> lookups);

// The raw value of a key (blanks around it trimmed, still in the file's encoding), or nothing
// when the section or key is absent. `section` and `key` are in the file's encoding. Keys before
// the first section header belong to the section with the empty name.
std::optional<std::string_view> FindProfileValue(std::string_view body, std::string_view section,
                                                 std::string_view key);

// The text a caller gets for a raw value: one pair of enclosing quotes removed, cut at a NUL,
// decoded to UTF-8 and cut to at most `maxChars` characters.
std::string DecodeProfileValue(std::string_view raw, ProfileEncoding encoding,
                               std::size_t maxChars);

// True when a section or key name can be written so that it reads back as itself.
bool IsWritableSectionName(std::string_view section);
bool IsWritableKeyName(std::string_view key);

// The value as it goes into a line: cut at a NUL, line breaks turned into blanks (a value never
// adds lines to the file), encoded for the file.
std::string EncodeProfileValue(std::string_view utf8, ProfileEncoding encoding);

// `body` with the key set to `value`: the key's line replaced in place, or appended to its
// section, or the section appended at the end. Every other byte stays as it was. `section`,
// `key` and `value` are in the file's encoding.
std::string SetProfileValue(std::string_view body, std::string_view section, std::string_view key,
                            std::string_view value);

// Keeps a code-page-1251 body that a write left reading as UTF-8 (its other non-ASCII bytes
// happen to form UTF-8, as "СЁ" does "Ѩ") reading as code page 1251: a comment line that is
// not UTF-8 goes in front. A body of ASCII only reads the same either way and stays as it is.
void KeepCp1251(std::string& body);

// Cuts UTF-8 text to at most `maxChars` characters, never inside a character.
void CutUtf8(std::string& text, std::size_t maxChars);

}  // namespace telkey
