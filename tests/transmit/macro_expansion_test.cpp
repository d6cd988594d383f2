// The macro command language on its own: a fake window supplies the fields, the other macros
// and the INI values, and records the clear and transmit actions.
#include "transmit/macro_expansion.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <map>
#include <string>

#include "support/scratch_dir.h"

namespace telkey {
namespace {

class FakeWindow : public MacroContext {
  public:
    std::u32string FieldText(QsoField field) override {
        return fields[static_cast<std::size_t>(field)];
    }
    std::u32string MacroText(int slot) override {
        ++macroReads;
        return macros[static_cast<std::size_t>(slot)];
    }
    std::optional<std::u32string> IniValue(std::u32string_view key) override {
        const auto it = ini.find(std::u32string(key));
        if (it == ini.end()) return std::nullopt;
        return it->second;
    }
    void ClearInput() override { ++clears; }
    void TransmitOn() override { ++transmitOns; }

    std::array<std::u32string, 4> fields{U"DL1ABC", U"599", U"Hans", U"JO62"};
    std::array<std::u32string, kMacroSlots> macros{};
    std::map<std::u32string, std::u32string> ini;
    int clears = 0;
    int transmitOns = 0;
    int macroReads = 0;
};

std::u32string Expand(std::u32string text, FakeWindow& window) {
    ExpandMacro(text, window);
    return text;
}

TEST(MacroExpansion, FieldsAndTheirCutNumbers) {
    FakeWindow w;
    EXPECT_EQ(Expand(U"~[esr] ~[esr]", w), U"5nn 5nn");
    EXPECT_EQ(Expand(U"de ~[ec] ur ~[er] ~[en] ~[eo]", w), U"de DL1ABC ur 599 Hans JO62");
    w.fields[0] = U"R90X";
    EXPECT_EQ(Expand(U"~[esc]/~[esn]/~[eso]", w), U"RntX/Hans/JO62");
    EXPECT_EQ(CutNumbers(U"1900 Hz"), U"1ntt Hz");
}

TEST(MacroExpansion, UnknownUpperCaseAndIncompleteNamesInsertNothing) {
    FakeWindow w;
    EXPECT_EQ(Expand(U"a~[EC]b", w), U"ab");
    EXPECT_EQ(Expand(U"a~[e]b~[es]c~[esx]d~[ex]e~[]f~[zz]g", w), U"abcdefg");
    // "cl" and "tx" act; "c" and "t" followed by anything else do not.
    EXPECT_EQ(Expand(U"~[cx]~[ty]~[px]~[rr]", w), U"");
    EXPECT_EQ(w.clears, 0);
    EXPECT_EQ(w.transmitOns, 0);
    // Whatever follows the letters that select a command is read and discarded.
    EXPECT_EQ(Expand(U"~[ecall]~[rxyz]~[pause]", w), U"DL1ABC}\u00B7");
}

TEST(MacroExpansion, NameEndsAtControlCharacterOrEndOfText) {
    FakeWindow w;
    // The line break ends the name; the command has no "]" and the rest stays as text.
    EXPECT_EQ(Expand(U"x~[ec\nrest]", w), U"xDL1ABC\nrest]");
    EXPECT_EQ(Expand(U"x~[ec", w), U"xDL1ABC");
    // Blanks and non-ASCII characters belong to the name.
    w.ini[U"my key \u00E9"] = U"v";
    EXPECT_EQ(Expand(U"~[imy key \u00E9]", w), U"v");
}

TEST(MacroExpansion, NamesAreReadUpToNinetyEightCharacters) {
    FakeWindow w;
    const std::u32string pad97(96, U'x');  // "e" + 96 = 97 characters
    EXPECT_EQ(MacroCommandLength(U"~[e" + pad97 + U"]", 0), 2u + 97u + 1u);
    // 98 characters fill the buffer: the "]" after them is not part of the command.
    const std::u32string pad98(97, U'x');
    EXPECT_EQ(MacroCommandLength(U"~[e" + pad98 + U"]", 0), 2u + 98u);
    EXPECT_EQ(Expand(U"~[e" + pad98 + U"]", w), U"]");
    // Longer: the first 98 go with the "~[", the rest of the name and its "]" stay.
    EXPECT_EQ(Expand(U"~[e" + pad98 + U"tail]", w), U"tail]");
}

TEST(MacroExpansion, ActionsRunDuringExpansionAndInsertNothing) {
    FakeWindow w;
    EXPECT_EQ(Expand(U"~[cl]cq", w), U"cq");
    EXPECT_EQ(w.clears, 1);
    EXPECT_EQ(Expand(U"qrz~[pa]more~[rx]", w), U"qrz\u00B7more}");
    EXPECT_EQ(Expand(U"~[tx]", w), U"");
    EXPECT_EQ(w.transmitOns, 1);
}

TEST(MacroExpansion, MacroCommandInsertsAndExpandsTheOtherMacro) {
    FakeWindow w;
    w.macros[0] = U"zero";
    w.macros[3] = U"<~[ec]>";
    EXPECT_EQ(Expand(U"a~[m3]b", w), U"a<DL1ABC>b");
    EXPECT_EQ(Expand(U"~[m16]|~[m-1]|~[m99999999999999999999]", w), U"||");
    // Read like a C integer conversion: blanks, a sign, digits, then anything.
    EXPECT_EQ(Expand(U"~[m]~[m  +3x]~[mabc]", w), U"zero<DL1ABC>zero");
    EXPECT_EQ(ParseMacroNumber(U"-0"), 0);
    EXPECT_EQ(ParseMacroNumber(U"15"), 15);
    EXPECT_EQ(ParseMacroNumber(U"16"), std::nullopt);
}

TEST(MacroExpansion, IniCommandTellsMissingFromEmpty) {
    FakeWindow w;
    w.ini[U"Call"] = U"OK1XYZ";
    w.ini[U"Empty"] = U"";
    EXPECT_EQ(Expand(U"[~[iCall]][~[iEmpty]][~[iNone]]", w), U"[OK1XYZ][][***]");
}

TEST(MacroExpansion, FileCommandReadsTheWholeFileInOrder) {
    test::ScratchDir dir;
    std::string text;
    for (int i = 0; i < 30; ++i) text += "line " + std::to_string(i) + " of the file\r\n";
    test::WriteBytes(dir / "long.txt", text);  // several 99-byte blocks
    FakeWindow w;
    EXPECT_EQ(Expand(U"<~[f" + Utf8ToCodePoints(dir / "long.txt") + U"]>", w),
              U"<" + Utf8ToCodePoints(text) + U">");
    EXPECT_EQ(Expand(U"~[f" + Utf8ToCodePoints(dir / "missing.txt") + U"]", w), U"***");
    EXPECT_EQ(Expand(U"~[f" + Utf8ToCodePoints(dir.Path()) + U"]", w), U"***");
    EXPECT_EQ(Expand(U"~[f]", w), U"***");
}

TEST(MacroExpansion, FileCommandRelativeNamesAndEncodings) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "utf8.txt", "\xD0\xBF\xD1\x80\xD0\xB8");  // "при" in UTF-8
    test::WriteBytes(dir / "cp1251.txt", "\xEF\xF0\xE8");            // "при" in code page 1251
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir.Path().c_str()), 0);
    FakeWindow w;
    EXPECT_EQ(Expand(U"~[futf8.txt]", w), U"\u043F\u0440\u0438");
    EXPECT_EQ(Expand(U"~[fcp1251.txt]", w), U"\u043F\u0440\u0438");
    EXPECT_EQ(Expand(U"~[f.\\utf8.txt]", w), U"\u043F\u0440\u0438");  // backslash as slash
    ASSERT_EQ(chdir(old), 0);
}

TEST(MacroExpansion, FileCommandLeavesOutNulsAndStopsAtTheInputLimit) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "nuls.bin", std::string("a\0b\0\0c", 6));
    FakeWindow w;
    EXPECT_EQ(ReadMacroFile(Utf8ToCodePoints(dir / "nuls.bin")), U"abc");

    test::WriteBytes(dir / "huge.txt", std::string(5 * kInputMaxLength, 'k'));
    EXPECT_EQ(ReadMacroFile(Utf8ToCodePoints(dir / "huge.txt")).size(), kInputMaxLength);
    // A cut in the middle of a UTF-8 sequence does not turn the file into code page 1251.
    std::string cyrillic;
    for (std::size_t i = 0; i < kInputMaxLength + 7; ++i) cyrillic += "\xD0\xB6";
    test::WriteBytes(dir / "cyrillic.txt", cyrillic);
    EXPECT_EQ(ReadMacroFile(Utf8ToCodePoints(dir / "cyrillic.txt")),
              std::u32string(kInputMaxLength, U'\u0436'));

    // An endless device of NULs yields nothing, and returns.
    EXPECT_EQ(ReadMacroFile(U"/dev/zero"), U"");
    EXPECT_EQ(Expand(U"a~[f/dev/zero]b", w), U"ab");
    // A FIFO nobody writes to does not hold the window up.
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(ReadMacroFile(Utf8ToCodePoints(dir / "fifo")), U"");
}

TEST(MacroExpansion, SelfIncludingMacroStopsAtTheStepBound) {
    FakeWindow w;
    w.macros[1] = U"a~[m1]";
    std::u32string text = U"~[m1]";
    EXPECT_FALSE(ExpandMacro(text, w));
    EXPECT_EQ(text, std::u32string(kMaxExpansionSteps, U'a'));
    EXPECT_EQ(w.macroReads, kMaxExpansionSteps);

    // Two macros that include each other, doubling on every round.
    w.macros[1] = U"~[m2]~[m2]x";
    w.macros[2] = U"~[m1]y";
    text = U"~[m1]";
    EXPECT_FALSE(ExpandMacro(text, w));
    EXPECT_EQ(text.find(U"~["), std::u32string::npos);
    EXPECT_LE(text.size(), kInputMaxLength);
}

TEST(MacroExpansion, GrowthBeyondTheInputLimitStopsExpansion) {
    FakeWindow w;
    // Each round puts a long text in front of the next command.
    w.macros[1] = std::u32string(3000, U'q') + U"~[m1]~[ec]";
    std::u32string text = U"~[m1]";
    EXPECT_FALSE(ExpandMacro(text, w));
    EXPECT_EQ(text, std::u32string(kInputMaxLength, U'q'));
    EXPECT_LE(w.macroReads, 5);
}

TEST(MacroExpansion, RemovingCommandsInsertsNothing) {
    std::u32string text = U"a~[ec]b~[m1 c~[";
    RemoveMacroCommands(text);
    EXPECT_EQ(text, U"ab");
    // A "~" in front and a "[" behind a removed command make one of their own.
    text = U"~~[x][ec]z";
    RemoveMacroCommands(text);
    EXPECT_EQ(text, U"z");
}

TEST(MacroExpansion, Utf8RoundTripAndCp1251Fallback) {
    EXPECT_EQ(Utf8ToCodePoints("a\xC3\xA9\xF0\x9F\x93\xBB"), U"a\u00E9\U0001F4FB");
    EXPECT_EQ(CodePointsToUtf8(U"a\u00E9\U0001F4FB"), "a\xC3\xA9\xF0\x9F\x93\xBB");
    // A stray byte reads as code page 1251 (0xB7 is the middle dot there).
    EXPECT_EQ(Utf8ToCodePoints("x\xB7y"), U"x\u00B7y");
}

}  // namespace
}  // namespace telkey
