// The settings file's keys, notations, defaults and widths, without any window.
#include "ui/settings_values.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/scratch_dir.h"

namespace telkey {
namespace {

class SettingsValuesTest : public ::testing::Test {
  protected:
    SettingsValuesTest() : cwd_(::get_current_dir_name()) {
        EXPECT_EQ(::chdir(dir_.Path().c_str()), 0);
    }
    ~SettingsValuesTest() override {
        EXPECT_EQ(::chdir(cwd_), 0);
        std::free(cwd_);
    }

    std::string Path() const { return dir_ / "Telkey.ini"; }
    void Store(const std::string& text) { test::WriteBytes(Path(), text); }
    SettingsValues Load() const { return ReadSettingsValues(ProfileFile(kSettingsFileName)); }

    test::ScratchDir dir_;
    char* cwd_;
};

TEST(ScanTest, HexTakesTheNumericPrefixLikeScanf) {
    EXPECT_EQ(ScanHex("378"), 0x378u);
    EXPECT_EQ(ScanHex("0x378"), 0x378u);
    EXPECT_EQ(ScanHex("  3bCz"), 0x3BCu);
    EXPECT_EQ(ScanHex("0xz"), 0u);  // the 0 is a digit
    EXPECT_EQ(ScanHex("-1"), 0xFFFFFFFFu);
    EXPECT_EQ(ScanHex("123456789"), 0x23456789u);  // wraps at 32 bits
    EXPECT_EQ(ScanHex(""), std::nullopt);
    EXPECT_EQ(ScanHex("  g1"), std::nullopt);
    EXPECT_EQ(ScanHex("+"), std::nullopt);
}

TEST(ScanTest, DecimalTakesTheNumericPrefixLikeScanf) {
    EXPECT_EQ(ScanDecimal("60"), 60);
    EXPECT_EQ(ScanDecimal(" +62abc"), 62);
    EXPECT_EQ(ScanDecimal("-2147483643"), -2147483643);
    EXPECT_EQ(ScanDecimal("2147483648"), -2147483647 - 1);  // wraps at 32 bits
    EXPECT_EQ(ScanDecimal("x5"), std::nullopt);
    EXPECT_EQ(ScanDecimal("-"), std::nullopt);
}

TEST_F(SettingsValuesTest, NoFileGivesEveryDefault) {
    const SettingsValues v = Load();
    EXPECT_EQ(v, DefaultSettingsValues());
    EXPECT_EQ(v.DotPort, 0x201);
    EXPECT_EQ(v.DashPort, 0x201);
    EXPECT_EQ(v.DotXorMask, 0xFF);
    EXPECT_EQ(v.DotAndMask, 0x10);
    EXPECT_EQ(v.DashAndMask, 0x20);
    EXPECT_EQ(v.KeyPortNumber, 0);
    EXPECT_EQ(v.KeyMask, 0x01);
    EXPECT_EQ(v.TxMask, 0x02);
    EXPECT_EQ(v.AllMask, 0x00);
    EXPECT_EQ(v.UseSpeaker, 0);
    EXPECT_EQ(v.SpeakerTone, 1000);
    EXPECT_EQ(v.IsYamb, 1);
    EXPECT_EQ(v.OnTop, 0);
    EXPECT_EQ(v.Speed, 60);
    EXPECT_EQ(v.DashDotRatio, 300);
    EXPECT_EQ(v.Weighting, 0);
    EXPECT_EQ(v.ExternIniFile, "brixo.ini");
    EXPECT_EQ(v.ExportIniFile, "loginput.ini");
    EXPECT_EQ(v.ExternIniSection, "QSO");
    EXPECT_EQ(v.ExportIniSection, "QSO");
    EXPECT_EQ(v.CallOnClear, "");
    EXPECT_EQ(v.RSTOnClear, "599");
    EXPECT_EQ(v.NameOnClear, "om");
    EXPECT_EQ(v.OtherOnClear, "");
    EXPECT_EQ(v.Left, -1);
    EXPECT_EQ(v.MacroWidth, -1);
    EXPECT_EQ(v.TxFont,
              (FontSettings{"MS Sans Serif", 204, -2147483640, -13, 0, 10, 1, -2147483643}));
    EXPECT_EQ(v.SentFont, (FontSettings{"Courier New", 204, 8421504, -12, 0, 9, 0, -2147483643}));
    for (int slot = 0; slot < MacroStore::kSlots; ++slot) {
        EXPECT_EQ(v.Macros[static_cast<std::size_t>(slot)], "Macro" + std::to_string(slot));
    }
    EXPECT_EQ(v.MoxOn, 0);
    EXPECT_EQ(v.TxAtKeyboard, 1);
    EXPECT_EQ(v.RxAtFreeBuffer, 0);
    EXPECT_EQ(v.RxAtSilence, 1);
    EXPECT_EQ(v.SilenceLen, 8);
    EXPECT_EQ(v.TxAtPaddle, 1);
    EXPECT_EQ(v.PaddleDelay, 10);
    EXPECT_EQ(v.PauseAtPaddle, 0);
    EXPECT_EQ(v.PauseOffAtRx, 0);
}

TEST_F(SettingsValuesTest, ValuesAreCutToTheirWidth) {
    Store(
        "[Qor_Cw]\nDotPort=378\nDashPort=0x378\nKeyMask=1FF\nTxMask=-1\nKeyPortNumber=65541\n"
        "UseSpeaker=2\nIsYamb=0\n"
        "[MOX]\nMoxOn=2\nTxAtKeyboard=3\nSilenceLen=12\n"
        "[TxFont]\nCharset=460\n");
    const SettingsValues v = Load();
    EXPECT_EQ(v.DotPort, 0x378);
    EXPECT_EQ(v.DashPort, 0x378);
    EXPECT_EQ(v.KeyMask, 0xFF);
    EXPECT_EQ(v.TxMask, 0xFF);
    EXPECT_EQ(v.KeyPortNumber, 5);
    EXPECT_EQ(v.UseSpeaker, 2);  // any non-zero value is on
    EXPECT_EQ(v.IsYamb, 0);
    EXPECT_EQ(v.MoxOn, 0);  // bit 0 only
    EXPECT_EQ(v.TxAtKeyboard, 1);
    EXPECT_EQ(v.SilenceLen, 12);
    EXPECT_EQ(v.TxFont.Charset, 460 & 0xFF);
}

TEST_F(SettingsValuesTest, NumericKeyWithoutNumberTakesItsDefault) {
    Store("[Qor_Cw]\nDotPort=\nSpeed=fast\nSpeakerTone= \n[Screen]\nLeft=x\n[MOX]\nPaddleDelay=\n");
    const SettingsValues v = Load();
    EXPECT_EQ(v.DotPort, 0x201);
    EXPECT_EQ(v.Speed, 60);
    EXPECT_EQ(v.SpeakerTone, 1000);
    EXPECT_EQ(v.Left, -1);
    EXPECT_EQ(v.PaddleDelay, 10);
}

TEST_F(SettingsValuesTest, EmptyTextIsNotTheDefault) {
    Store("[Qor_Cw]\nRSTOnClear=\nNameOnClear=\"\"\n[Cw_Macros]\nMacro3=\n");
    const SettingsValues v = Load();
    EXPECT_EQ(v.RSTOnClear, "");
    EXPECT_EQ(v.NameOnClear, "");
    EXPECT_EQ(v.Macros[3], "");
}

TEST_F(SettingsValuesTest, WritesEachNotationAndReadsItBack) {
    SettingsValues v = DefaultSettingsValues();
    v.DotPort = 0x3BC;
    v.KeyMask = 0x01;
    v.AllMask = 0;
    v.Weighting = -7;
    v.CallOnClear = " DL1ABC ";
    v.TxFont.Color = -2147483640;
    v.MoxOn = 1;
    ProfileFile file(kSettingsFileName);
    WriteSettingsValues(file, v);
    const std::string text = test::ReadBytes(Path());
    EXPECT_NE(text.find("DotPort=3BC\n"), std::string::npos) << text;
    EXPECT_NE(text.find("DashPort=201\n"), std::string::npos) << text;
    EXPECT_NE(text.find("KeyMask=01\n"), std::string::npos) << text;
    EXPECT_NE(text.find("AllMask=00\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Weighting=-7\n"), std::string::npos) << text;
    EXPECT_NE(text.find("ExternIniFile=brixo.ini\n"), std::string::npos) << text;
    EXPECT_NE(text.find("CallOnClear=\" DL1ABC \"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Name=\"MS Sans Serif\"\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Color=-2147483640\n"), std::string::npos) << text;
    // Sections in the order of the file; the macros are written by their own save.
    const auto qor = text.find("[Qor_Cw]");
    const auto screen = text.find("[Screen]");
    const auto tx = text.find("[TxFont]");
    const auto sent = text.find("[SentFont]");
    const auto mox = text.find("[MOX]");
    EXPECT_LT(qor, screen);
    EXPECT_LT(screen, tx);
    EXPECT_LT(tx, sent);
    EXPECT_LT(sent, mox);
    EXPECT_EQ(text.find("[Cw_Macros]"), std::string::npos);
    EXPECT_LT(text.find("DotPort="), text.find("DotXorMask="));
    EXPECT_LT(text.find("Weighting="), text.find("ExternIniFile="));
    EXPECT_LT(text.find("SilenceLen="), text.find("TxAtPaddle="));

    v.Macros = DefaultSettingsValues().Macros;
    EXPECT_EQ(Load(), v);
}

TEST_F(SettingsValuesTest, MacrosKeepTheirBlanksAndLongOnesComeBackCut) {
    std::array<std::string, MacroStore::kSlots> texts = DefaultSettingsValues().Macros;
    texts[1] = "  cq de ~[call] k  ";
    texts[15] = std::string(3000, 'e');
    ProfileFile file(kSettingsFileName);
    WriteMacroTexts(file, texts);
    const std::string text = test::ReadBytes(Path());
    EXPECT_NE(text.find("Macro15=\"" + std::string(3000, 'e') + "\"\n"), std::string::npos);
    EXPECT_NE(text.find("Macro0=\"Macro0\"\n"), std::string::npos);

    const SettingsValues v = Load();
    EXPECT_EQ(v.Macros[1], "  cq de ~[call] k  ");
    EXPECT_EQ(v.Macros[15], std::string(2047, 'e'));
    EXPECT_EQ(v.Macros[0], "Macro0");
}

TEST_F(SettingsValuesTest, UnknownKeysAndCommentsSurviveASave) {
    Store("; my keyer\n[Qor_Cw]\nSpeed=120\nMyOwnKey=keep me\n[Logger]\nx=1\n");
    SettingsValues v = Load();
    EXPECT_EQ(v.Speed, 120);
    ProfileFile file(kSettingsFileName);
    WriteSettingsValues(file, v);
    const std::string text = test::ReadBytes(Path());
    EXPECT_EQ(text.rfind("; my keyer\n[Qor_Cw]\nSpeed=120\nMyOwnKey=keep me\n", 0), 0u) << text;
    EXPECT_NE(text.find("[Logger]\nx=1\n"), std::string::npos);
}

TEST_F(SettingsValuesTest, ReadOnlyFileStopsTheSaveAndStaysAsItWas) {
    // Root may write any file, so the save runs in a child that has given up root.
    const std::string before = "[Qor_Cw]\nSpeed=120\n";
    Store(before);
    ASSERT_EQ(::chmod(Path().c_str(), 0444), 0);
    ASSERT_EQ(::chmod(dir_.Path().c_str(), 0755), 0);
    const int result = test::RunInChild(
        [] {
            ProfileFile file(kSettingsFileName);
            try {
                WriteSettingsValues(file, DefaultSettingsValues());
            } catch (const ProfileWriteError& error) {
                return std::string(error.what()) == "Unable to write to .\\Telkey.ini" ? 0 : 2;
            }
            return 1;
        },
        test::kNobodyUid);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(test::ReadBytes(Path()), before);
}

TEST_F(SettingsValuesTest, OnTopAloneForTheWindowsCreation) {
    EXPECT_EQ(ReadOnTop(ProfileFile(kSettingsFileName)), 0);
    Store("[qor_cw]\nontop=3\n");
    EXPECT_EQ(ReadOnTop(ProfileFile(kSettingsFileName)), 3);
}

}  // namespace
}  // namespace telkey
