#include "ui/settings_values.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

namespace telkey {
namespace {

// How a value is stored, and the width it is cut to on loading.
enum class Notation {
    kPort,     // hex, 3 digits, 16 bits
    kMask,     // hex, 2 digits, 8 bits
    kDecimal,  // signed 32 bits
    kKeyPort,  // decimal, low 16 bits
    kFlag,     // decimal, any non-zero value is on
    kMoxFlag,  // decimal, bit 0 only
    kCharset,  // decimal, 8 bits
    kText,     // verbatim
    kQuoted,   // enclosed in double quotes
};

constexpr std::uint32_t kPortWidthMask = 0xFFFF;
constexpr std::uint32_t kMaskWidthMask = 0xFF;
constexpr std::uint32_t kKeyPortWidthMask = 0xFFFF;
constexpr std::uint32_t kCharsetWidthMask = 0xFF;
constexpr std::int32_t kMoxFlagBit = 1;

struct IntKey {
    std::string_view key;
    Notation notation;
    std::string_view defaultText;
    std::int32_t SettingsValues::*value;
};

struct TextKey {
    std::string_view key;
    Notation notation;
    std::string_view defaultText;
    std::string SettingsValues::*value;
};

struct FontKey {
    std::string_view key;
    Notation notation;
    std::string_view txDefault;
    std::string_view sentDefault;
    std::int32_t FontSettings::*value;
};

// Section Qor_Cw: the numbers, then the texts; read and written in this order.
constexpr IntKey kQorCwNumbers[] = {
    {"DotPort", Notation::kPort, "201", &SettingsValues::DotPort},
    {"DotXorMask", Notation::kMask, "FF", &SettingsValues::DotXorMask},
    {"DotAndMask", Notation::kMask, "10", &SettingsValues::DotAndMask},
    {"DashPort", Notation::kPort, "201", &SettingsValues::DashPort},
    {"DashXorMask", Notation::kMask, "FF", &SettingsValues::DashXorMask},
    {"DashAndMask", Notation::kMask, "20", &SettingsValues::DashAndMask},
    {"KeyPortNumber", Notation::kKeyPort, "0", &SettingsValues::KeyPortNumber},
    {"KeyMask", Notation::kMask, "01", &SettingsValues::KeyMask},
    {"TxMask", Notation::kMask, "02", &SettingsValues::TxMask},
    {"AllMask", Notation::kMask, "0", &SettingsValues::AllMask},
    {"UseSpeaker", Notation::kFlag, "0", &SettingsValues::UseSpeaker},
    {"SpeakerTone", Notation::kDecimal, "1000", &SettingsValues::SpeakerTone},
    {"IsYamb", Notation::kFlag, "1", &SettingsValues::IsYamb},
    {"OnTop", Notation::kFlag, "0", &SettingsValues::OnTop},
    {"Speed", Notation::kDecimal, "60", &SettingsValues::Speed},
    {"DashDotRatio", Notation::kDecimal, "300", &SettingsValues::DashDotRatio},
    {"Weighting", Notation::kDecimal, "0", &SettingsValues::Weighting},
};

constexpr TextKey kQorCwTexts[] = {
    {"ExternIniFile", Notation::kText, "brixo.ini", &SettingsValues::ExternIniFile},
    {"ExternIniSection", Notation::kText, "QSO", &SettingsValues::ExternIniSection},
    {"ExportIniFile", Notation::kText, "loginput.ini", &SettingsValues::ExportIniFile},
    {"ExportIniSection", Notation::kText, "QSO", &SettingsValues::ExportIniSection},
    {"CallOnClear", Notation::kQuoted, "", &SettingsValues::CallOnClear},
    {"RSTOnClear", Notation::kQuoted, "599", &SettingsValues::RSTOnClear},
    {"NameOnClear", Notation::kQuoted, "om", &SettingsValues::NameOnClear},
    {"OtherOnClear", Notation::kQuoted, "", &SettingsValues::OtherOnClear},
};

constexpr IntKey kScreenKeys[] = {
    {"Left", Notation::kDecimal, "-1", &SettingsValues::Left},
    {"Top", Notation::kDecimal, "-1", &SettingsValues::Top},
    {"Height", Notation::kDecimal, "-1", &SettingsValues::Height},
    {"Width", Notation::kDecimal, "-1", &SettingsValues::Width},
    {"MacroLeft", Notation::kDecimal, "-1", &SettingsValues::MacroLeft},
    {"MacroTop", Notation::kDecimal, "-1", &SettingsValues::MacroTop},
    {"MacroHeight", Notation::kDecimal, "-1", &SettingsValues::MacroHeight},
    {"MacroWidth", Notation::kDecimal, "-1", &SettingsValues::MacroWidth},
};

// Sections TxFont and SentFont: Name (quoted) comes first, then these.
constexpr std::string_view kFontNameKey = "Name";
constexpr std::string_view kTxFontNameDefault = "MS Sans Serif";
constexpr std::string_view kSentFontNameDefault = "Courier New";
constexpr FontKey kFontKeys[] = {
    {"Charset", Notation::kCharset, "204", "204", &FontSettings::Charset},
    {"Color", Notation::kDecimal, "-2147483640", "8421504", &FontSettings::Color},
    {"Height", Notation::kDecimal, "-13", "-12", &FontSettings::Height},
    {"Pitch", Notation::kDecimal, "0", "0", &FontSettings::Pitch},
    {"Size", Notation::kDecimal, "10", "9", &FontSettings::Size},
    {"Style", Notation::kDecimal, "1", "0", &FontSettings::Style},
    {"BkgColor", Notation::kDecimal, "-2147483643", "-2147483643", &FontSettings::BkgColor},
};

constexpr IntKey kMoxKeys[] = {
    {"MoxOn", Notation::kMoxFlag, "0", &SettingsValues::MoxOn},
    {"TxAtKeyboard", Notation::kMoxFlag, "1", &SettingsValues::TxAtKeyboard},
    {"RxAtFreeBuffer", Notation::kMoxFlag, "0", &SettingsValues::RxAtFreeBuffer},
    {"RxAtSilence", Notation::kMoxFlag, "1", &SettingsValues::RxAtSilence},
    {"SilenceLen", Notation::kDecimal, "8", &SettingsValues::SilenceLen},
    {"TxAtPaddle", Notation::kMoxFlag, "1", &SettingsValues::TxAtPaddle},
    {"PaddleDelay", Notation::kDecimal, "10", &SettingsValues::PaddleDelay},
    {"PauseAtPaddle", Notation::kMoxFlag, "0", &SettingsValues::PauseAtPaddle},
    {"PauseOffAtRx", Notation::kMoxFlag, "0", &SettingsValues::PauseOffAtRx},
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Skips leading blanks and takes one sign; true for a minus.
bool TakeSign(std::string_view& text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        const bool negative = text.front() == '-';
        text.remove_prefix(1);
        return negative;
    }
    return false;
}

// The number a stored text gives in one notation, cut to its width; nothing when it holds none.
std::optional<std::int32_t> ParseNumber(std::string_view text, Notation notation) {
    switch (notation) {
        case Notation::kPort:
        case Notation::kMask: {
            const auto n = ScanHex(text);
            if (!n) return std::nullopt;
            const std::uint32_t width =
                notation == Notation::kPort ? kPortWidthMask : kMaskWidthMask;
            return static_cast<std::int32_t>(*n & width);
        }
        default: {
            const auto n = ScanDecimal(text);
            if (!n) return std::nullopt;
            const auto bits = static_cast<std::uint32_t>(*n);
            switch (notation) {
                case Notation::kKeyPort:
                    return static_cast<std::int32_t>(bits & kKeyPortWidthMask);
                case Notation::kCharset:
                    return static_cast<std::int32_t>(bits & kCharsetWidthMask);
                case Notation::kMoxFlag:
                    return *n & kMoxFlagBit;
                default:
                    return *n;
            }
        }
    }
}

// Where values come from: the file, or nothing but the defaults.
using Lookup = std::function<std::string(std::string_view section, std::string_view key,
                                         std::string_view defaultText)>;

Lookup FromFile(const ProfileFile& file) {
    return [&file](std::string_view section, std::string_view key, std::string_view defaultText) {
        return file.ReadString(section, key, defaultText);
    };
}

std::string DefaultOnly(std::string_view, std::string_view, std::string_view defaultText) {
    return std::string(defaultText);
}

std::int32_t ReadNumber(const Lookup& read, std::string_view section, std::string_view key,
                        Notation notation, std::string_view defaultText) {
    if (const auto n = ParseNumber(read(section, key, defaultText), notation)) return *n;
    return ParseNumber(defaultText, notation).value_or(0);
}

std::string FormatNumber(std::int32_t value, Notation notation) {
    char buffer[16];
    switch (notation) {
        case Notation::kPort:
            std::snprintf(
                buffer, sizeof buffer, "%03X",
                static_cast<unsigned>(static_cast<std::uint32_t>(value) & kPortWidthMask));
            break;
        case Notation::kMask:
            std::snprintf(
                buffer, sizeof buffer, "%02X",
                static_cast<unsigned>(static_cast<std::uint32_t>(value) & kMaskWidthMask));
            break;
        default:
            std::snprintf(buffer, sizeof buffer, "%d", static_cast<int>(value));
            break;
    }
    return buffer;
}

std::string FormatText(const std::string& text, Notation notation) {
    return notation == Notation::kQuoted ? "\"" + text + "\"" : text;
}

FontSettings ReadFont(const Lookup& read, std::string_view section, bool tx) {
    FontSettings font;
    font.Name = read(section, kFontNameKey, tx ? kTxFontNameDefault : kSentFontNameDefault);
    for (const FontKey& k : kFontKeys) {
        font.*k.value =
            ReadNumber(read, section, k.key, k.notation, tx ? k.txDefault : k.sentDefault);
    }
    return font;
}

void WriteFont(ProfileFile& file, std::string_view section, const FontSettings& font) {
    file.WriteString(section, kFontNameKey, FormatText(font.Name, Notation::kQuoted));
    for (const FontKey& k : kFontKeys) {
        file.WriteString(section, k.key, FormatNumber(font.*k.value, k.notation));
    }
}

SettingsValues ReadAll(const Lookup& read) {
    SettingsValues v;
    for (const IntKey& k : kQorCwNumbers) {
        v.*k.value = ReadNumber(read, kSectionQorCw, k.key, k.notation, k.defaultText);
    }
    for (const TextKey& k : kQorCwTexts) v.*k.value = read(kSectionQorCw, k.key, k.defaultText);
    for (const IntKey& k : kScreenKeys) {
        v.*k.value = ReadNumber(read, kSectionScreen, k.key, k.notation, k.defaultText);
    }
    v.TxFont = ReadFont(read, kSectionTxFont, true);
    v.SentFont = ReadFont(read, kSectionSentFont, false);
    for (int slot = 0; slot < MacroStore::kSlots; ++slot) {
        const std::string key = MacroStore::KeyName(slot);
        v.Macros[static_cast<std::size_t>(slot)] = read(kSectionMacros, key, key);
    }
    for (const IntKey& k : kMoxKeys) {
        v.*k.value = ReadNumber(read, kSectionMox, k.key, k.notation, k.defaultText);
    }
    return v;
}

}  // namespace

std::optional<std::uint32_t> ScanHex(std::string_view text) {
    const bool negative = TakeSign(text);
    if (text.size() >= 3 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X') &&
        HexDigit(text[2]) >= 0) {
        text.remove_prefix(2);
    }
    if (text.empty() || HexDigit(text.front()) < 0) return std::nullopt;
    std::uint32_t n = 0;
    while (!text.empty() && HexDigit(text.front()) >= 0) {
        n = (n << 4) + static_cast<std::uint32_t>(HexDigit(text.front()));
        text.remove_prefix(1);
    }
    return negative ? 0u - n : n;
}

std::optional<std::int32_t> ScanDecimal(std::string_view text) {
    const bool negative = TakeSign(text);
    if (text.empty() || text.front() < '0' || text.front() > '9') return std::nullopt;
    std::uint32_t n = 0;
    while (!text.empty() && text.front() >= '0' && text.front() <= '9') {
        n = n * 10u + static_cast<std::uint32_t>(text.front() - '0');
        text.remove_prefix(1);
    }
    return static_cast<std::int32_t>(negative ? 0u - n : n);
}

SettingsValues ReadSettingsValues(const ProfileFile& file) {
    // One reading of the file for all keys: a first run only names the keys it reads.
    ProfileBatch batch(file);
    ReadAll([&batch](std::string_view section, std::string_view key, std::string_view defaultText) {
        batch.Ask(section, key);
        return std::string(defaultText);
    });
    batch.Read();
    return ReadAll(
        [&batch](std::string_view section, std::string_view key, std::string_view defaultText) {
            return batch.Value(section, key, defaultText);
        });
}

std::int32_t ReadOnTop(const ProfileFile& file) {
    for (const IntKey& k : kQorCwNumbers) {
        if (k.value == &SettingsValues::OnTop) {
            return ReadNumber(FromFile(file), kSectionQorCw, k.key, k.notation, k.defaultText);
        }
    }
    return 0;
}

SettingsValues DefaultSettingsValues() {
    return ReadAll(DefaultOnly);
}
FontSettings DefaultTxFont() {
    return ReadFont(DefaultOnly, kSectionTxFont, true);
}
FontSettings DefaultSentFont() {
    return ReadFont(DefaultOnly, kSectionSentFont, false);
}

void WriteSettingsValues(ProfileFile& file, const SettingsValues& v) {
    for (const IntKey& k : kQorCwNumbers) {
        file.WriteString(kSectionQorCw, k.key, FormatNumber(v.*k.value, k.notation));
    }
    for (const TextKey& k : kQorCwTexts) {
        file.WriteString(kSectionQorCw, k.key, FormatText(v.*k.value, k.notation));
    }
    for (const IntKey& k : kScreenKeys) {
        file.WriteString(kSectionScreen, k.key, FormatNumber(v.*k.value, k.notation));
    }
    WriteFont(file, kSectionTxFont, v.TxFont);
    WriteFont(file, kSectionSentFont, v.SentFont);
    for (const IntKey& k : kMoxKeys) {
        file.WriteString(kSectionMox, k.key, FormatNumber(v.*k.value, k.notation));
    }
}

void WriteSettingsKeys(ProfileFile& file, const SettingsValues& v,
                       std::span<const std::string_view> keys) {
    const auto wanted = [keys](std::string_view key) {
        return std::find(keys.begin(), keys.end(), key) != keys.end();
    };
    for (const IntKey& k : kQorCwNumbers) {
        if (wanted(k.key)) {
            file.WriteString(kSectionQorCw, k.key, FormatNumber(v.*k.value, k.notation));
        }
    }
    for (const IntKey& k : kMoxKeys) {
        if (wanted(k.key))
            file.WriteString(kSectionMox, k.key, FormatNumber(v.*k.value, k.notation));
    }
}

void WriteMacroTexts(ProfileFile& file, const std::array<std::string, MacroStore::kSlots>& texts) {
    for (int slot = 0; slot < MacroStore::kSlots; ++slot) {
        file.WriteString(kSectionMacros, MacroStore::KeyName(slot),
                         FormatText(texts[static_cast<std::size_t>(slot)], Notation::kQuoted));
    }
}

std::string WriteFailureText(const std::string& message, const std::string& fileName) {
    const int writeErrno = errno;
    const std::filesystem::path path(ResolveProfilePath(fileName));
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::absolute(path, ec).parent_path();
    if (const auto canonical = std::filesystem::weakly_canonical(dir, ec); !ec) dir = canonical;
    // The file is replaced through a new file beside it: the directory must take one.
    int reason = 0;
    if (::access(dir.c_str(), W_OK | X_OK) != 0) {
        reason = errno;
    } else if (::access(path.c_str(), F_OK) == 0 && ::access(path.c_str(), W_OK) != 0) {
        reason = errno;
    } else if (writeErrno == ENOSPC || writeErrno == EDQUOT || writeErrno == EIO) {
        reason = writeErrno;  // anything else left in errno may be stale
    }
    if (reason == 0) return message;
    return message + "\n" + std::strerror(reason) + " in " + dir.string();
}

}  // namespace telkey
