#pragma once
// The settings file ".\Telkey.ini" as plain values: every section and key with its notation,
// its default and its width. No Qt here; ui/settings_file.h moves these values into the running
// program and back.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "profile/profile_file.h"
#include "transmit/macro_store.h"

namespace telkey {

inline constexpr char kSettingsFileName[] = ".\\Telkey.ini";

inline constexpr std::string_view kSectionQorCw = "Qor_Cw";
inline constexpr std::string_view kSectionScreen = "Screen";
inline constexpr std::string_view kSectionTxFont = "TxFont";
inline constexpr std::string_view kSectionSentFont = "SentFont";
inline constexpr std::string_view kSectionMacros = "Cw_Macros";
inline constexpr std::string_view kSectionMox = "MOX";

// A stored geometry value that leaves the designed one.
inline constexpr std::int32_t kDesignedGeometry = -1;

// Style bits of a stored font.
inline constexpr std::int32_t kStyleBold = 1;
inline constexpr std::int32_t kStyleItalic = 2;
inline constexpr std::int32_t kStyleUnderline = 4;
inline constexpr std::int32_t kStyleStrikeOut = 8;

// Font pitch of a stored font.
inline constexpr std::int32_t kPitchDefault = 0;
inline constexpr std::int32_t kPitchVariable = 1;
inline constexpr std::int32_t kPitchFixed = 2;

// One of the sections TxFont and SentFont.
struct FontSettings {
    std::string Name;
    std::int32_t Charset = 0;
    std::int32_t Color = 0;
    std::int32_t Height = 0;
    std::int32_t Pitch = 0;
    std::int32_t Size = 0;
    std::int32_t Style = 0;
    std::int32_t BkgColor = 0;

    bool operator==(const FontSettings&) const = default;
};

// Every setting, each already cut to the width of its run-time variable. Construct with
// DefaultSettingsValues() for the defaults of the file's tables.
struct SettingsValues {
    // Qor_Cw
    std::int32_t DotPort = 0;
    std::int32_t DotXorMask = 0;
    std::int32_t DotAndMask = 0;
    std::int32_t DashPort = 0;
    std::int32_t DashXorMask = 0;
    std::int32_t DashAndMask = 0;
    std::int32_t KeyPortNumber = 0;
    std::int32_t KeyMask = 0;
    std::int32_t TxMask = 0;
    std::int32_t AllMask = 0;
    std::int32_t UseSpeaker = 0;
    std::int32_t SpeakerTone = 0;
    std::int32_t IsYamb = 0;
    std::int32_t OnTop = 0;
    std::int32_t Speed = 0;
    std::int32_t DashDotRatio = 0;
    std::int32_t Weighting = 0;
    std::string ExternIniFile;
    std::string ExternIniSection;
    std::string ExportIniFile;
    std::string ExportIniSection;
    std::string CallOnClear;
    std::string RSTOnClear;
    std::string NameOnClear;
    std::string OtherOnClear;
    // Screen
    std::int32_t Left = kDesignedGeometry;
    std::int32_t Top = kDesignedGeometry;
    std::int32_t Height = kDesignedGeometry;
    std::int32_t Width = kDesignedGeometry;
    std::int32_t MacroLeft = kDesignedGeometry;
    std::int32_t MacroTop = kDesignedGeometry;
    std::int32_t MacroHeight = kDesignedGeometry;
    std::int32_t MacroWidth = kDesignedGeometry;
    // TxFont, SentFont
    FontSettings TxFont;
    FontSettings SentFont;
    // Cw_Macros
    std::array<std::string, MacroStore::kSlots> Macros;
    // MOX
    std::int32_t MoxOn = 0;
    std::int32_t TxAtKeyboard = 0;
    std::int32_t RxAtFreeBuffer = 0;
    std::int32_t RxAtSilence = 0;
    std::int32_t SilenceLen = 0;
    std::int32_t TxAtPaddle = 0;
    std::int32_t PaddleDelay = 0;
    std::int32_t PauseAtPaddle = 0;
    std::int32_t PauseOffAtRx = 0;

    bool operator==(const SettingsValues&) const = default;
};

SettingsValues DefaultSettingsValues();
FontSettings DefaultTxFont();
FontSettings DefaultSentFont();

// The numeric prefix of a stored value, as C scanning with "%x" or "%d" takes it: leading
// blanks skipped, an optional sign, for hex an optional "0x", digits up to the first other
// character, wrapping at 32 bits. Nothing when the text does not start with a number.
std::optional<std::uint32_t> ScanHex(std::string_view text);
std::optional<std::int32_t> ScanDecimal(std::string_view text);

// Reads every key; a missing key, or a numeric key that holds no number, takes its default.
SettingsValues ReadSettingsValues(const ProfileFile& file);
// OnTop alone, as the main window reads it when it is created.
std::int32_t ReadOnTop(const ProfileFile& file);

// Writes every key of Qor_Cw, Screen, TxFont, SentFont and MOX, in the order of the file, one
// by one. A key that cannot be written throws ProfileWriteError; the keys before it stay written.
void WriteSettingsValues(ProfileFile& file, const SettingsValues& values);
// Writes only the keys of Qor_Cw and MOX named in `keys`, each by itself in its notation; throws
// like WriteSettingsValues.
void WriteSettingsKeys(ProfileFile& file, const SettingsValues& values,
                       std::span<const std::string_view> keys);
// Writes Macro0 to Macro15 of Cw_Macros, quoted; throws like WriteSettingsValues.
void WriteMacroTexts(ProfileFile& file, const std::array<std::string, MacroStore::kSlots>& texts);

// The text shown when `fileName` could not be written: the write's own message, then on a
// second line why and where (for example "Permission denied in /home/op").
std::string WriteFailureText(const std::string& message, const std::string& fileName);

}  // namespace telkey
