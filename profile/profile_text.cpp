#include "profile/profile_text.h"

#include <algorithm>
#include <vector>

#include "engine/codepage1251.h"
#include "profile/ascii_case.h"

namespace telkey {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";

// One line of the body: [begin, end) is its text, without the line break; `next` is where the
// following line begins (the body's size for the last one).
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
    bool hasBreak = false;
};

// The line break that starts at `at` (a CR or LF there).
std::string_view BreakAt(std::string_view body, std::size_t at) {
    if (body[at] == '\r' && at + 1 < body.size() && body[at + 1] == '\n') return "\r\n";
    return body[at] == '\r' ? "\r" : "\n";
}

// Lines end at CR LF, LF or a lone CR (files from old editors).
class LineCursor {
  public:
    explicit LineCursor(std::string_view body) : body_(body) {}

    bool Next(Line& line) {
        if (pos_ >= body_.size()) return false;
        line.begin = pos_;
        std::size_t at = pos_;
        while (at < body_.size() && body_[at] != '\n' && body_[at] != '\r') ++at;
        line.end = at;
        line.hasBreak = at < body_.size();
        line.next = at + (line.hasBreak ? BreakAt(body_, at).size() : 0);
        pos_ = line.next;
        return true;
    }

  private:
    std::string_view body_;
    std::size_t pos_ = 0;
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

// The name of a section header line ("[name]" with anything after the bracket ignored).
std::optional<std::string_view> SectionName(std::string_view trimmed) {
    if (trimmed.empty() || trimmed.front() != '[') return std::nullopt;
    const auto close = trimmed.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return Trim(trimmed.substr(1, close - 1));
}

// A line that holds a key: an equals sign, and not a comment.
bool IsKeyLine(std::string_view trimmed) {
    return !trimmed.empty() && trimmed.front() != ';' && trimmed.front() != '#' &&
           trimmed.find('=') != std::string_view::npos;
}

std::string_view LineText(std::string_view body, const Line& line) {
    return body.substr(line.begin, line.end - line.begin);
}

// The line break the file already uses; a file without one gets LF.
std::string_view LineBreakOf(std::string_view body) {
    const auto at = body.find_first_of("\r\n");
    return at == std::string_view::npos ? "\n" : BreakAt(body, at);
}

std::string_view CutAtNul(std::string_view s) {
    return s.substr(0, s.find('\0'));
}

std::size_t Utf8SequenceLength(unsigned char lead) {
    if (lead < 0x80) return 1;
    if ((lead & 0xE0) == 0xC0) return 2;
    if ((lead & 0xF0) == 0xE0) return 3;
    if ((lead & 0xF8) == 0xF0) return 4;
    return 1;
}

// Well-formed UTF-8 with every malformed sequence replaced by U+FFFD.
std::string SanitizeUtf8(std::string_view s) {
    if (IsValidUtf8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + 16);
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t len = Utf8SequenceLength(static_cast<unsigned char>(s[pos]));
        const std::string_view seq = s.substr(pos, len);
        if (seq.size() == len && IsValidUtf8(seq)) {
            out += seq;
            pos += len;
        } else {
            out += kReplacementChar;
            ++pos;
        }
    }
    return out;
}

}  // namespace

ProfileText SplitProfileText(std::string_view bytes) {
    ProfileText text;
    if (bytes.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
        text.bom = bytes.substr(0, kUtf8Bom.size());
        text.body = bytes.substr(kUtf8Bom.size());
        text.encoding = ProfileEncoding::kUtf8;
    } else {
        text.body = bytes;
        text.encoding = IsValidUtf8(bytes) ? ProfileEncoding::kUtf8 : ProfileEncoding::kCp1251;
    }
    return text;
}

void FindProfileValues(std::string_view body, std::span<ProfileLookup> lookups) {
    // The lookups grouped by section, so that a header is compared with each section once.
    struct Group {
        std::string_view section;
        std::vector<ProfileLookup*> lookups;
    };
    std::vector<Group> groups;
    for (ProfileLookup& lookup : lookups) {
        lookup.value.reset();
        const std::string_view section = Trim(lookup.section);
        auto group = std::find_if(groups.begin(), groups.end(),
                                  [&](const Group& g) { return EqualsNoCase(g.section, section); });
        if (group == groups.end()) group = groups.insert(groups.end(), Group{section, {}});
        group->lookups.push_back(&lookup);
    }
    std::size_t unanswered = lookups.size();
    // The lookups of the section the lines are in; keys before any header have the empty name.
    std::vector<ProfileLookup*>* open = nullptr;
    const auto enter = [&](std::string_view name) {
        const auto group = std::find_if(groups.begin(), groups.end(), [&](const Group& g) {
            return EqualsNoCase(g.section, name);
        });
        open = group == groups.end() ? nullptr : &group->lookups;
    };
    enter({});

    LineCursor cursor(body);
    Line line;
    while (unanswered > 0 && cursor.Next(line)) {
        const std::string_view text = Trim(LineText(body, line));
        // Outside the sections looked for, only a header matters.
        if (text.empty() || (text.front() != '[' && (open == nullptr || open->empty()))) continue;
        if (const auto name = SectionName(text)) {
            enter(*name);
            continue;
        }
        if (open == nullptr || open->empty()) continue;
        const auto eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = Trim(text.substr(0, eq));
        // The first line of a key answers it; later ones are not looked at.
        std::erase_if(*open, [&](ProfileLookup* lookup) {
            if (!EqualsNoCase(Trim(lookup->key), key)) return false;
            lookup->value = Trim(text.substr(eq + 1));
            --unanswered;
            return true;
        });
    }
}

std::optional<std::string_view> FindProfileValue(std::string_view body, std::string_view section,
                                                 std::string_view key) {
    ProfileLookup lookup{section, key, std::nullopt};
    FindProfileValues(body, std::span(&lookup, 1));
    return lookup.value;
}

void CutUtf8(std::string& text, std::size_t maxChars) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;  // continuation
        if (chars == maxChars) {
            text.resize(i);
            return;
        }
        ++chars;
    }
}

std::string DecodeProfileValue(std::string_view raw, ProfileEncoding encoding,
                               std::size_t maxChars) {
    if (raw.size() >= 2 && (raw.front() == '"' || raw.front() == '\'') &&
        raw.back() == raw.front()) {
        raw = raw.substr(1, raw.size() - 2);
    }
    raw = CutAtNul(raw);
    if (encoding == ProfileEncoding::kCp1251) return Cp1251ToUtf8(raw.substr(0, maxChars));
    std::string text = SanitizeUtf8(raw);
    CutUtf8(text, maxChars);
    return text;
}

bool IsWritableSectionName(std::string_view section) {
    return section.find_first_of(std::string_view("]\r\n\0", 4)) == std::string_view::npos;
}

bool IsWritableKeyName(std::string_view key) {
    const std::string_view trimmed = Trim(key);
    return !trimmed.empty() && trimmed.front() != '[' &&
           key.find_first_of(std::string_view("=\r\n\0", 4)) == std::string_view::npos;
}

std::string EncodeProfileValue(std::string_view utf8, ProfileEncoding encoding) {
    const std::string_view cut = CutAtNul(utf8);
    std::string value;
    if (encoding == ProfileEncoding::kCp1251) {
        // Bytes that are not UTF-8 are taken to be code page 1251 already.
        value = IsValidUtf8(cut) ? Utf8ToCp1251(cut) : std::string(cut);
    } else {
        value = IsValidUtf8(cut) ? std::string(cut) : Cp1251ToUtf8(cut);
    }
    for (char& c : value) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return value;
}

void KeepCp1251(std::string& body) {
    if (!IsValidUtf8(body) ||
        std::all_of(body.begin(), body.end(), [](char c) { return (c & 0x80) == 0; })) {
        return;
    }
    // "Кодировка" (encoding) in code page 1251: its first two bytes are no UTF-8 sequence.
    std::string marker = "; \xCA\xEE\xE4\xE8\xF0\xEE\xE2\xEA\xE0: windows-1251";
    marker += LineBreakOf(body);
    body.insert(0, marker);
}

std::string SetProfileValue(std::string_view body, std::string_view section, std::string_view key,
                            std::string_view value) {
    const std::string_view lineBreak = LineBreakOf(body);
    const std::string_view wantedSection = Trim(section);
    const std::string_view wantedKey = Trim(key);

    LineCursor cursor(body);
    Line line;
    // Keys before the first header form the section with the empty name; a new key of it goes
    // after its last key, or at the very start, never under a header of its own.
    bool inSection = wantedSection.empty();
    bool inFirstSection = inSection;
    bool sectionSeen = inSection;
    // The line of the first matching section after which a new key goes.
    Line anchor{0, 0, 0, true};
    Line last;
    bool any = false;
    while (cursor.Next(line)) {
        any = true;
        last = line;
        const std::string_view raw = LineText(body, line);
        const std::string_view text = Trim(raw);
        if (const auto name = SectionName(text)) {
            inSection = EqualsNoCase(*name, wantedSection);
            inFirstSection = inSection && !sectionSeen;
            if (inFirstSection) anchor = line;
            sectionSeen = sectionSeen || inSection;
            continue;
        }
        if (!inSection) continue;
        const auto eq = raw.find('=');
        if (eq != std::string_view::npos && EqualsNoCase(Trim(raw.substr(0, eq)), wantedKey)) {
            // Keep the key as the file spells it; only the value changes.
            std::string out;
            out.reserve(body.size() + value.size());
            out += body.substr(0, line.begin + eq + 1);
            out += value;
            out += body.substr(line.end);
            return out;
        }
        if (inFirstSection && IsKeyLine(text)) anchor = line;
    }

    std::string out;
    out.reserve(body.size() + section.size() + key.size() + value.size() + 8);
    if (sectionSeen) {
        out += body.substr(0, anchor.next);
        if (!anchor.hasBreak) out += lineBreak;
        out += key;
        out += '=';
        out += value;
        out += lineBreak;
        out += body.substr(anchor.next);
        return out;
    }
    out += body;
    if (any) {
        if (!last.hasBreak) out += lineBreak;
        if (!Trim(LineText(body, last)).empty()) out += lineBreak;  // a blank line between sections
    }
    out += '[';
    out += section;
    out += ']';
    out += lineBreak;
    out += key;
    out += '=';
    out += value;
    out += lineBreak;
    return out;
}

}  // namespace telkey
