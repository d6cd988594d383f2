// LoadSettings, Savesetup1Click and SaveMacros against real widgets: what a settings file turns
// into in the running program, and what a save writes back.
#include "ui/settings_file.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QToolButton>
#include <array>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "options/keying_options.h"
#include "options/speed_control.h"
#include "profile/exchange_settings.h"
#include "support/open_counter.h"
#include "support/scratch_dir.h"
#include "support/window_fixture.h"
#include "transmit/macro_store.h"
#include "ui/colour_value.h"
#include "widgets/up_down.h"

namespace telkey {
namespace {

// Everything LoadSettings fills, built fresh: a second one stands for the next run.
struct Program {
    Program() {
        mainWindow.move(238, 127);
        mainWindow.resize(435, 303);
        macroEditor.move(192, 108);
        macroEditor.resize(547, 336);
        for (QToolButton* b : {&speakerButton, &yambButton, &onTopButton}) b->setCheckable(true);
        for (QAction* a : {&mox, &txOnKeyboard, &rxAtFreeBuffer, &rxAtSilence, &txAtPaddle,
                           &pauseAtPaddle, &pauseOffAtRx}) {
            a->setCheckable(true);
        }
        txOnKeyboard.setChecked(true);
        rxAtSilence.setChecked(true);
        dashDotUpDown.SetRange(300, 600);
        dashDotUpDown.SetIncrement(25);
        dashDotUpDown.SetPosition(300);
        settings.Bind({
            &mainWindow,
            &macroEditor,
            &input,
            &sent,
            &speakerButton,
            &yambButton,
            &onTopButton,
            &dashDotUpDown,
            &mox,
            &txOnKeyboard,
            &rxAtFreeBuffer,
            &rxAtSilence,
            &txAtPaddle,
            &pauseAtPaddle,
            &pauseOffAtRx,
            [this](std::int32_t v) {
                calls.push_back("SetPaddleDelay " + std::to_string(v));
                engine.keyerSettings.PaddleDelay = v;
            },
            [this](std::int32_t v) {
                calls.push_back("SetSilenceLen " + std::to_string(v));
                engine.keyerSettings.SilenceLen = v;
            },
            [this] {
                calls.push_back("UpdateMacroHints");
                for (int n = 1; n <= 12; ++n) {
                    butMacro[static_cast<std::size_t>(n - 1)].setToolTip(
                        QString::fromStdString(macros.slots[static_cast<std::size_t>(n)]));
                }
            },
        });
    }

    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine{bus, driver};
    KeyingOptions options;
    SpeedControl speed{engine};
    ExchangeSettings exchange;
    MacroStore macros;
    test::RecordingBoxes boxes;
    SettingsFile settings{engine, options, speed, exchange, macros, boxes};

    QWidget mainWindow;
    QWidget macroEditor;
    QPlainTextEdit input;
    QPlainTextEdit sent;
    QToolButton speakerButton, yambButton, onTopButton;
    UpDown dashDotUpDown;
    QAction mox, txOnKeyboard, rxAtFreeBuffer, rxAtSilence, txAtPaddle, pauseAtPaddle, pauseOffAtRx;
    std::array<QPushButton, 12> butMacro;
    std::vector<std::string> calls;
};

class SettingsFileTest : public ::testing::Test {
  protected:
    std::string Path() const { return scratch.Path().toStdString() + "/Telkey.ini"; }
    std::string File() const { return test::ReadBytes(Path()); }
    void Store(const std::string& text) const { test::WriteBytes(Path(), text); }

    test::ScratchDirectory scratch;
};

TEST_F(SettingsFileTest, NoFileLoadsEveryDefault) {
    Program p;
    p.engine.flags.Transmitting = 1;
    p.engine.flags.Paused = 1;
    p.engine.mailbox.Fill(0x05);
    p.engine.ring.Push(0x05);
    p.engine.keyerSettings.WeightTicks = 3;
    p.settings.LoadSettings();

    const PortSettings& ports = p.engine.portSettings;
    EXPECT_EQ(ports.DotPort, 0x201);
    EXPECT_EQ(ports.DashPort, 0x201);
    EXPECT_EQ(ports.KeyPortNumber, 0);
    EXPECT_EQ(ports.UseSpeaker, 0);
    EXPECT_EQ(ports.SpeakerTone, 1000);
    EXPECT_EQ(ports.ToneDivisor, 1193);
    const KeyerSettings& keyer = p.engine.keyerSettings;
    EXPECT_EQ(keyer.IsYamb, 1);
    EXPECT_EQ(keyer.WeightTicks, 0);
    EXPECT_EQ(keyer.MoxOn, 0);
    EXPECT_EQ(keyer.TxAtPaddle, 1);
    EXPECT_EQ(keyer.PaddleDelay, 10);
    EXPECT_EQ(keyer.RxAtSilence, 1);
    EXPECT_EQ(keyer.SilenceLen, 8);
    EXPECT_EQ(p.options.TxAtKeyboard, 1);
    EXPECT_EQ(p.speed.Speed, 60);
    EXPECT_EQ(p.speed.SpeedIndex, 17);
    EXPECT_EQ(p.exchange.RSTOnClear, "599");

    // The hand-over is empty again.
    EXPECT_EQ(p.engine.flags.Transmitting, 0);
    EXPECT_EQ(p.engine.flags.Paused, 0);
    EXPECT_TRUE(p.engine.mailbox.NextCodeEmpty());
    EXPECT_EQ(p.engine.ring.RingCount(), 0u);

    // F1 to F12 send "Macro1" to "Macro12", which are also their hints.
    for (int n = 1; n <= 12; ++n) {
        EXPECT_EQ(p.macros.slots[static_cast<std::size_t>(n)], "Macro" + std::to_string(n));
        EXPECT_EQ(p.butMacro[static_cast<std::size_t>(n - 1)].toolTip(), QString("Macro%1").arg(n));
    }
    EXPECT_EQ(p.macros.slots[0], "Macro0");
    EXPECT_EQ(p.macros.slots[15], "Macro15");

    // Designed geometry kept.
    EXPECT_EQ(p.mainWindow.pos(), QPoint(238, 127));
    EXPECT_EQ(p.mainWindow.size(), QSize(435, 303));
    EXPECT_EQ(p.macroEditor.pos(), QPoint(192, 108));

    EXPECT_FALSE(p.speakerButton.isChecked());
    EXPECT_TRUE(p.yambButton.isChecked());
    EXPECT_FALSE(p.onTopButton.isChecked());
    EXPECT_EQ(p.dashDotUpDown.Position(), 300);
    EXPECT_FALSE(p.mox.isChecked());
    EXPECT_TRUE(p.txOnKeyboard.isChecked());
    EXPECT_FALSE(p.rxAtFreeBuffer.isChecked());
    EXPECT_TRUE(p.rxAtSilence.isChecked());
    EXPECT_TRUE(p.txAtPaddle.isChecked());
    EXPECT_FALSE(p.pauseAtPaddle.isChecked());
    EXPECT_FALSE(p.pauseOffAtRx.isChecked());
    EXPECT_EQ(p.calls, (std::vector<std::string>{"UpdateMacroHints", "SetPaddleDelay 10",
                                                 "SetSilenceLen 8"}));

    // Fonts and colours of the two text windows; system colours from the desktop palette.
    const QPalette& desktop = QGuiApplication::palette();
    EXPECT_EQ(p.input.font().family(), "MS Sans Serif");
    EXPECT_EQ(p.input.font().pointSize(), 10);
    EXPECT_TRUE(p.input.font().bold());
    EXPECT_FALSE(p.input.font().italic());
    EXPECT_EQ(p.input.palette().color(QPalette::Text), desktop.color(QPalette::Text));
    EXPECT_EQ(p.input.palette().color(QPalette::Base), desktop.color(QPalette::Base));
    EXPECT_EQ(p.sent.font().family(), "Courier New");
    EXPECT_EQ(p.sent.font().pointSize(), 9);
    EXPECT_FALSE(p.sent.font().bold());
    EXPECT_EQ(p.sent.palette().color(QPalette::Text), QColor(0x80, 0x80, 0x80));
    EXPECT_EQ(p.sent.palette().color(QPalette::Base), desktop.color(QPalette::Base));
    EXPECT_TRUE(p.boxes.shown.empty());
}

TEST_F(SettingsFileTest, StoredValuesAreCutAndFlagsCountAsTheyShould) {
    Store(
        "[Qor_Cw]\nDotPort=378\nDashPort=0x378\nKeyMask=1FF\nUseSpeaker=2\nSpeakerTone=2000\n"
        "DashDotRatio=250\nOnTop=1\n[MOX]\nMoxOn=2\nPauseAtPaddle=3\nSilenceLen=12\n");
    Program p;
    p.settings.LoadSettings();
    EXPECT_EQ(p.engine.portSettings.DotPort, 0x378);
    EXPECT_EQ(p.engine.portSettings.DashPort, 0x378);
    EXPECT_EQ(p.engine.portSettings.KeyMask, 0xFF);
    EXPECT_EQ(p.engine.portSettings.UseSpeaker, 2);
    EXPECT_TRUE(p.speakerButton.isChecked());
    EXPECT_TRUE(p.onTopButton.isChecked());
    EXPECT_EQ(p.options.OnTop, 1);
    EXPECT_EQ(p.engine.portSettings.ToneDivisor, 597);
    EXPECT_EQ(p.speed.DashDotRatio, 250);  // used as read; the arrows keep to their range
    EXPECT_EQ(p.engine.keyerSettings.MoxOn, 0);
    EXPECT_FALSE(p.mox.isChecked());
    EXPECT_EQ(p.engine.keyerSettings.PauseAtPaddle, 1);
    EXPECT_TRUE(p.pauseAtPaddle.isChecked());
    EXPECT_EQ(p.calls.back(), "SetSilenceLen 12");
}

TEST_F(SettingsFileTest, UnusableSpeakerTonesStillGiveAUsableDivisor) {
    for (const char* tone : {"0", "1", "18", "-440"}) {
        Store(std::string("[Qor_Cw]\nSpeakerTone=") + tone + "\n");
        Program p;
        p.settings.LoadSettings();
        EXPECT_EQ(p.engine.portSettings.ToneDivisor, 1193) << tone;
    }
    Store("[Qor_Cw]\nSpeakerTone=19\n");
    Program p;
    p.settings.LoadSettings();
    EXPECT_EQ(p.engine.portSettings.ToneDivisor, (19 / 2 + 1193180) / 19);
}

// LoadSettings reads its many keys from one reading of the file.
TEST_F(SettingsFileTest, LoadingReadsTheFileOnce) {
    Store(
        "[Qor_Cw]\nSpeed=90\nIsYamb=0\n[MOX]\nMoxOn=1\n[Cw_Macros]\nMacro3=\"cq test\"\n"
        "[SentFont]\nSize=14\n");
    test::OpenCounter opens(Path());
    Program p;
    p.settings.LoadSettings();
    EXPECT_EQ(opens.Take(), 1);
    EXPECT_EQ(p.speed.Speed, 90);
    EXPECT_EQ(p.engine.keyerSettings.IsYamb, 0);
    EXPECT_EQ(p.engine.keyerSettings.MoxOn, 1);
    EXPECT_EQ(p.macros.slots[3], "cq test");
    EXPECT_EQ(p.macros.slots[4], "Macro4");
    EXPECT_EQ(p.sent.font().pointSize(), 14);
}

TEST_F(SettingsFileTest, GeometryKeysApplyOneByOne) {
    Store("[Screen]\nLeft=10\nHeight=200\nMacroTop=50\nMacroWidth=300\n");
    Program p;
    p.settings.LoadSettings();
    EXPECT_EQ(p.mainWindow.pos(), QPoint(10, 127));
    EXPECT_EQ(p.mainWindow.frameGeometry().size(), QSize(435, 200));
    EXPECT_EQ(p.macroEditor.pos(), QPoint(192, 50));
    EXPECT_EQ(p.macroEditor.frameGeometry().size(), QSize(300, 336));
}

TEST_F(SettingsFileTest, WindowSavedAtMinusOneComesBackAtItsDesignedPlace) {
    Program first;
    first.settings.LoadSettings();
    first.mainWindow.move(-1, 40);
    first.settings.Savesetup1Click();
    EXPECT_NE(File().find("Left=-1\n"), std::string::npos);
    Program second;
    second.settings.LoadSettings();
    EXPECT_EQ(second.mainWindow.pos(), QPoint(238, 40));
}

TEST_F(SettingsFileTest, SaveThenLoadReproducesEverything) {
    Program first;
    first.settings.LoadSettings();
    PortSettings& ports = first.engine.portSettings;
    ports.DotPort = 0x3BC;
    ports.DotXorMask = 0x0F;
    ports.DotAndMask = 0x40;
    ports.DashPort = 0x379;
    ports.DashXorMask = 0x00;
    ports.DashAndMask = 0x80;
    ports.KeyPortNumber = 5;
    ports.KeyMask = 0x04;
    ports.TxMask = 0x08;
    ports.AllMask = 0x10;
    ports.UseSpeaker = 1;
    ports.SpeakerTone = 750;
    first.engine.keyerSettings.IsYamb = 0;
    first.options.OnTop = 1;
    first.speed.Speed = 120;
    first.speed.DashDotRatio = 350;
    first.speed.Weighting = -5;
    first.exchange = {"logger.ini", "Log", "/tmp/x/exchange.ini", "Exchange", " DL ", "",
                      "op",         "  "};
    first.mainWindow.move(300, 200);
    first.mainWindow.resize(640, 480);
    first.macroEditor.move(20, 30);
    first.macroEditor.resize(600, 400);
    QFont font("DejaVu Sans");
    font.setPointSize(14);
    font.setItalic(true);
    font.setUnderline(true);
    font.setFixedPitch(true);
    first.input.setFont(font);
    QPalette palette = first.input.palette();
    palette.setColor(QPalette::Text, QColor(0x11, 0x22, 0x33));
    palette.setColor(QPalette::Base, QColor(0xFE, 0xDC, 0xBA));
    first.input.setPalette(palette);
    QFont sentFont("Liberation Mono");
    sentFont.setPointSize(11);
    sentFont.setStrikeOut(true);
    sentFont.setBold(true);
    first.sent.setFont(sentFont);
    first.macros.slots[1] = "  cq cq de ~[call]  ";
    first.macros.slots[0] = "";
    first.macros.slots[15] = std::string(100, 'x');
    KeyerSettings& keyer = first.engine.keyerSettings;
    keyer.MoxOn = 1;
    first.options.TxAtKeyboard = 0;
    first.options.RxAtFreeBuffer = 1;
    keyer.RxAtSilence = 0;
    keyer.SilenceLen = 30;
    keyer.TxAtPaddle = 0;
    keyer.PaddleDelay = 150;
    keyer.PauseAtPaddle = 1;
    first.options.PauseOffAtRx = 1;
    first.settings.Savesetup1Click();
    ASSERT_TRUE(first.boxes.shown.empty());
    const SettingsValues saved = first.settings.CurrentValues();

    Program second;
    second.settings.LoadSettings();
    EXPECT_EQ(second.settings.CurrentValues(), saved);
    EXPECT_EQ(second.engine.portSettings.DotPort, 0x3BC);
    EXPECT_EQ(second.engine.portSettings.ToneDivisor, (750 / 2 + 1193180) / 750);
    EXPECT_EQ(second.speed.Speed, 120);
    EXPECT_EQ(second.speed.Weighting, -5);
    EXPECT_EQ(second.exchange.CallOnClear, " DL ");
    EXPECT_EQ(second.exchange.OtherOnClear, "  ");
    EXPECT_EQ(second.exchange.ExportIniFile, "/tmp/x/exchange.ini");
    EXPECT_EQ(second.macros.slots, first.macros.slots);
    EXPECT_EQ(second.mainWindow.frameGeometry(), first.mainWindow.frameGeometry());
    EXPECT_EQ(second.macroEditor.frameGeometry(), first.macroEditor.frameGeometry());
    EXPECT_EQ(second.input.font().family(), "DejaVu Sans");
    EXPECT_EQ(second.input.font().pointSize(), 14);
    EXPECT_TRUE(second.input.font().italic());
    EXPECT_TRUE(second.input.font().underline());
    EXPECT_TRUE(second.input.font().fixedPitch());
    EXPECT_FALSE(second.input.font().bold());
    EXPECT_EQ(second.input.palette().color(QPalette::Text), QColor(0x11, 0x22, 0x33));
    EXPECT_EQ(second.input.palette().color(QPalette::Base), QColor(0xFE, 0xDC, 0xBA));
    EXPECT_EQ(second.sent.font().family(), "Liberation Mono");
    EXPECT_EQ(second.sent.font().pointSize(), 11);
    EXPECT_TRUE(second.sent.font().bold());
    EXPECT_TRUE(second.sent.font().strikeOut());
    EXPECT_EQ(second.sent.palette().color(QPalette::Text), QColor(0x80, 0x80, 0x80));
    EXPECT_TRUE(second.speakerButton.isChecked());
    EXPECT_FALSE(second.yambButton.isChecked());
    EXPECT_TRUE(second.onTopButton.isChecked());
    EXPECT_EQ(second.dashDotUpDown.Position(), 350);
    EXPECT_TRUE(second.mox.isChecked());
    EXPECT_FALSE(second.txOnKeyboard.isChecked());
    EXPECT_TRUE(second.rxAtFreeBuffer.isChecked());
    EXPECT_FALSE(second.rxAtSilence.isChecked());
    EXPECT_FALSE(second.txAtPaddle.isChecked());
    EXPECT_TRUE(second.pauseAtPaddle.isChecked());
    EXPECT_TRUE(second.pauseOffAtRx.isChecked());
    EXPECT_EQ(second.calls.back(), "SetSilenceLen 30");
}

TEST_F(SettingsFileTest, SystemColoursAreWrittenBackAsLoadedUnlessChanged) {
    Program p;
    p.settings.LoadSettings();
    p.settings.Savesetup1Click();
    const SettingsValues v = ReadSettingsValues(ProfileFile(kSettingsFileName));
    EXPECT_EQ(v.TxFont, DefaultTxFont());
    EXPECT_EQ(v.SentFont, DefaultSentFont());

    QPalette palette = p.sent.palette();
    palette.setColor(QPalette::Base, QColor(0, 0, 0x80));
    p.sent.setPalette(palette);
    p.settings.Savesetup1Click();
    const SettingsValues changed = ReadSettingsValues(ProfileFile(kSettingsFileName));
    EXPECT_EQ(changed.SentFont.BkgColor, 0x800000);  // 0x00BBGGRR
    EXPECT_EQ(changed.TxFont.BkgColor, -2147483643);
}

TEST_F(SettingsFileTest, ColourValuesMapToTheDesktopPalette) {
    const QPalette& desktop = QGuiApplication::palette();
    EXPECT_EQ(ColourFromValue(static_cast<std::int32_t>(0x80000008), desktop),
              desktop.color(QPalette::Text));
    EXPECT_EQ(ColourFromValue(static_cast<std::int32_t>(0x80000005), desktop),
              desktop.color(QPalette::Base));
    EXPECT_EQ(ColourFromValue(static_cast<std::int32_t>(0x8000000F), desktop),
              desktop.color(QPalette::Button));
    EXPECT_EQ(ColourFromValue(static_cast<std::int32_t>(0x800000FF), desktop), QColor(Qt::black));
    EXPECT_EQ(ColourFromValue(0x0000FF, desktop), QColor(255, 0, 0));
    EXPECT_EQ(ValueFromColour(QColor(0x12, 0x34, 0x56)), 0x563412);
}

TEST_F(SettingsFileTest, OddFontValuesAreTakenWithoutHarm) {
    Store("[TxFont]\nName=\"\"\nHeight=-2147483648\nSize=99999\nPitch=7\nStyle=-1\n");
    Program p;
    const QString designed = p.input.font().family();
    p.settings.LoadSettings();
    EXPECT_EQ(p.input.font().family(), designed);  // an empty name keeps the typeface
    EXPECT_LE(p.input.font().pointSize(), 1000);
    EXPECT_TRUE(p.input.font().bold());
    EXPECT_TRUE(p.input.font().strikeOut());
    p.settings.Savesetup1Click();
    const SettingsValues v = ReadSettingsValues(ProfileFile(kSettingsFileName));
    EXPECT_EQ(v.TxFont.Pitch, 7);  // unchanged since the load: written back as it was
}

TEST_F(SettingsFileTest, SaveMacrosWritesTheSixteenMacrosOnly) {
    Program p;
    p.settings.LoadSettings();
    p.macros.slots[3] = " tu ";
    p.settings.SaveMacros();
    const std::string text = File();
    EXPECT_EQ(text.rfind("[Cw_Macros]\nMacro0=\"Macro0\"\n", 0), 0u) << text;
    EXPECT_NE(text.find("Macro3=\" tu \"\n"), std::string::npos);
    EXPECT_NE(text.find("Macro15=\"Macro15\"\n"), std::string::npos);
    EXPECT_EQ(text.find("[Qor_Cw]"), std::string::npos);
}

TEST_F(SettingsFileTest, LongMacroIsSavedWholeAndLoadsBackCut) {
    Program first;
    first.settings.LoadSettings();
    first.macros.slots[12] = std::string(2500, 'a') + "b";
    first.settings.Savesetup1Click();
    EXPECT_NE(File().find("Macro12=\"" + std::string(2500, 'a') + "b\""), std::string::npos);
    Program second;
    second.settings.LoadSettings();
    EXPECT_EQ(second.macros.slots[12], std::string(2047, 'a'));
    EXPECT_EQ(second.butMacro[11].toolTip().size(), 2047);
}

TEST_F(SettingsFileTest, ReadOnlyFileShowsTheErrorAndStaysAsItWas) {
    const std::string before = "[Qor_Cw]\nSpeed=120\n";
    Store(before);
    ASSERT_EQ(::chmod(Path().c_str(), 0444), 0);
    ASSERT_EQ(::chmod(scratch.Path().toStdString().c_str(), 0755), 0);
    Program p;
    p.settings.LoadSettings();
    // Root may write any file: the save runs in a child that has given up root. The second
    // line says why and where.
    const std::string expected = "Unable to write to .\\Telkey.ini\nPermission denied in " +
                                 std::filesystem::canonical(scratch.Path().toStdString()).string();
    const int result = test::RunInChild(
        [&p, &expected] {
            p.settings.Savesetup1Click();
            if (p.boxes.shown.size() != 1) return 1;
            if (p.boxes.shown[0].title != "Telkey") return 2;
            return p.boxes.shown[0].text.toStdString() == expected ? 0 : 3;
        },
        test::kNobodyUid);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(File(), before);
    EXPECT_EQ(p.speed.Speed, 120);
}

}  // namespace
}  // namespace telkey
