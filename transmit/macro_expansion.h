#pragma once
// The macro command language: "~[name]" commands in a macro text, expanded in place one at a
// time. Texts are Unicode code points here; the window side converts to and from its widgets.
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace telkey {

// The most characters the Input window holds; nothing longer is ever inserted into it.
inline constexpr std::size_t kInputMaxLength = 10000;
// Characters of a command name that are read; a longer name is cut off without its "]".
inline constexpr std::size_t kMacroNameMax = 98;
// Commands one run of a macro (or one deferred command) may expand before the rest is dropped.
inline constexpr int kMaxExpansionSteps = 1000;
// The file command reads in blocks of this size, and never more than kMacroFileReadMax bytes.
inline constexpr std::size_t kMacroFileBlock = 99;
inline constexpr std::size_t kMacroFileReadMax = 64 * 1024;
// Macro slots a command may name (the macro store's size).
inline constexpr int kMacroSlots = 16;

// What a failed file or INI command inserts.
inline constexpr std::u32string_view kMacroFailureText = U"***";
// "~[pa]" and "~[rx]" insert these; their Morse codes are CodePause and CodeRx.
inline constexpr char32_t kPauseChar = U'\u00B7';
inline constexpr char32_t kRxChar = U'}';

enum class QsoField { Call, Rst, Name, Other };

// What the commands read and act on; the window side provides it.
class MacroContext {
  public:
    virtual ~MacroContext() = default;
    virtual std::u32string FieldText(QsoField field) = 0;
    // The stored, unexpanded text of a slot, 0 <= slot < kMacroSlots.
    virtual std::u32string MacroText(int slot) = 0;
    // The key's value in the logger's INI file; none when the key or the file is missing.
    virtual std::optional<std::u32string> IniValue(std::u32string_view key) = 0;
    // "~[cl]": empties the Input window at once.
    virtual void ClearInput() = 0;
    // "~[tx]": transmit on if it is off, then pause off if it is on.
    virtual void TransmitOn() = 0;
};

// Every "9" becomes "n" and every "0" "t"; a report 599 is sent as 5nn.
std::u32string CutNumbers(std::u32string_view text);

// Characters taken by the command that starts at `pos` (which holds "~["): "~[", the name and
// its "]" when one closes it within kMacroNameMax characters.
std::size_t MacroCommandLength(std::u32string_view text, std::size_t pos);

// Expands the first "~[" command of `text` in place; false when there is none.
bool ExpandMacroStep(std::u32string& text, MacroContext& context);

// Expands commands until none is left, within the bounds of one run: after kMaxExpansionSteps
// commands, or once the next command stands at or beyond kInputMaxLength, every command left is
// removed without inserting anything. The result is cut to kInputMaxLength characters.
// Returns false when a bound was hit.
bool ExpandMacro(std::u32string& text, MacroContext& context);

// Removes every command from `pos` on, inserting nothing.
void RemoveMacroCommands(std::u32string& text, std::size_t pos = 0);

// The file command: the file's text with NUL bytes left out, at most kInputMaxLength
// characters from at most kMacroFileReadMax bytes; "***" when it cannot be opened.
// A backslash in the name counts as a slash; a relative name is taken from the working
// directory. UTF-8 files are read as UTF-8, others as code page 1251.
std::u32string ReadMacroFile(std::u32string_view name);

// A macro number read like a C integer conversion ("~[m]" is 0); none outside 0..15.
std::optional<int> ParseMacroNumber(std::u32string_view digits);

// UTF-8 <-> code points. Bytes that are not well-formed UTF-8 are read as code page 1251.
std::u32string Utf8ToCodePoints(std::string_view utf8);
std::string CodePointsToUtf8(std::u32string_view text);

}  // namespace telkey
