#include "profile/profile_text.h"

#include <cstring>

#include "engine/codepage1251.h"
#include "profile/ascii_case.h"

namespace telkey {
namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";
constexpr std::string_view kReplacementChar = "\xEF\xBF\xBD";
constexpr std::string_view kBlanks = " \t\r";

// One line of the body: [begin, end) is its text, without the line break; `next` is where the
// following line begins (the body's size for the last one).
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
    bool hasBreak = false;
};

class LineCursor {
  public:
    explicit LineCursor(std::string_view body) : body_(body) {}

    bool Next(Line& line) {
        if (pos_ >= body_.size()) return false;
        line.begin = pos_;
        const void* lf = std::memchr(body_.data() + pos_, '\n', body_.size() - pos_);
        if (lf == nullptr) {
            line.end = line.next = body_.size();
            line.hasBreak = false;
        } else {
            const auto at = static_cast<std::size_t>(static_cast<const char*>(lf) - body_.data());
            line.end = (at > pos_ && body_[at - 1] == '\r') ? at - 1 : at;
            line.next = at + 1;
            line.hasBreak = true;
        }
        pos_ = line.next;
        return true;
    }

  private:
    std::string_view body_;
    std::size_t pos_ = 0;
};

std::string_view Trim(std::string_view s) {
    const auto first = s.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(kBlanks);
    return s.substr(first, last - first + 1);
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
    const auto lf = body.find('\n');
    if (lf != std::string_view::npos && lf > 0 && body[lf - 1] == '\r') return "\r\n";
    return "\n";
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

std::optional<std::string_view> FindProfileValue(std::string_view body, std::string_view section,
                                                 std::string_view key) {
    section = Trim(section);
    key = Trim(key);
    LineCursor cursor(body);
    Line line;
    bool inSection = false;
    while (cursor.Next(line)) {
        const std::string_view text = Trim(LineText(body, line));
        if (const auto name = SectionName(text)) {
            inSection = EqualsNoCase(*name, section);
            continue;
        }
        if (!inSection) continue;
        const auto eq = text.find('=');
        if (eq == std::string_view::npos) continue;
        if (EqualsNoCase(Trim(text.substr(0, eq)), key)) return Trim(text.substr(eq + 1));
    }
    return std::nullopt;
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

std::string SetProfileValue(std::string_view body, std::string_view section, std::string_view key,
                            std::string_view value) {
    const std::string_view lineBreak = LineBreakOf(body);
    const std::string_view wantedSection = Trim(section);
    const std::string_view wantedKey = Trim(key);

    LineCursor cursor(body);
    Line line;
    bool inSection = false;
    bool inFirstSection = false;
    bool sectionSeen = false;
    Line anchor;  // the line of the first matching section after which a new key goes
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
