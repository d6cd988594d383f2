// Window geometry of the main window and the macro editor as the settings file stores it: outer
// places and sizes, before and after the windows are first shown, through stay-on-top and
// through a save and a restart; values beyond the desktop are kept within it.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QScreen>
#include <QToolButton>
#include <array>
#include <cstdint>
#include <string>
#include <utility>

#include "support/scratch_dir.h"
#include "support/window_fixture.h"
#include "ui/macro_editor.h"
#include "ui/main_form.h"
#include "ui/outer_geometry.h"
#include "ui/settings_file.h"

namespace telkey {
namespace {

using test::WindowFixture;
using Geometry = std::array<std::int32_t, 8>;

// Left, Top, Height, Width, then the same for the macro editor.
constexpr Geometry kStored{30, 40, 330, 500, 300, 320, 380, 460};
constexpr char kStoredFile[] =
    "[Screen]\nLeft=30\nTop=40\nHeight=330\nWidth=500\n"
    "MacroLeft=300\nMacroTop=320\nMacroHeight=380\nMacroWidth=460\n";

// What "Save setup" writes to [Screen] now.
Geometry Saved(const WindowFixture& w) {
    const SettingsValues v = w.form.settingsFile->CurrentValues();
    return {v.Left, v.Top, v.Height, v.Width, v.MacroLeft, v.MacroTop, v.MacroHeight, v.MacroWidth};
}

std::string SaveSetup(WindowFixture& w) {
    w.form.Savesetup1->trigger();
    return test::ReadBytes(w.scratch.Path().toStdString() + "/Telkey.ini");
}

void OpenEditor(WindowFixture& w) {
    w.form.EditMacros1->trigger();
    WindowFixture::ProcessEvents();
    ASSERT_TRUE(w.form.Form2->isVisible());
}

TEST(WindowGeometry, StoredOuterGeometrySurvivesShowingSavingAndRestarting) {
    // Saved with the editor never shown and with it shown; the next run shows it.
    for (const bool open : {false, true}) {
        WindowFixture first(kStoredFile);
        if (open) OpenEditor(first);
        EXPECT_EQ(first.form.frameGeometry(), QRect(30, 40, 500, 330)) << open;
        EXPECT_EQ(Saved(first), kStored) << open;
        const std::string file = SaveSetup(first);

        WindowFixture second(file);
        OpenEditor(second);
        EXPECT_EQ(second.form.Form2->frameGeometry(), QRect(300, 320, 460, 380)) << open;
        EXPECT_EQ(SaveSetup(second), file) << open;
    }
}

TEST(WindowGeometry, DesignedPlacesAreTheFramesPlaces) {
    WindowFixture w;
    const QSize frame = w.form.frameGeometry().size() - w.form.size();
    ASSERT_FALSE(frame.isEmpty());
    EXPECT_EQ(w.form.frameGeometry(), QRect(238, 127, 435, 303));
    // Not shown yet, the editor counts with the frame the desktop will give it.
    const Geometry designed{
        238, 127, 303, 435, 192, 108, 336 + frame.height(), 547 + frame.width()};
    EXPECT_EQ(Saved(w), designed);
    OpenEditor(w);
    EXPECT_EQ(w.form.Form2->frameGeometry().topLeft(), QPoint(192, 108));
    EXPECT_EQ(w.form.Form2->size(), QSize(547, 336));
    EXPECT_EQ(Saved(w), designed);
}

TEST(WindowGeometry, StayOnTopKeepsThePlace) {
    WindowFixture w(kStoredFile);
    for (int i = 0; i < 4; ++i) {
        w.form.OnTopButton->click();
        WindowFixture::ProcessEvents();
        EXPECT_EQ(w.form.StaysOnTop(), i % 2 == 0);
        EXPECT_EQ(w.form.frameGeometry(), QRect(30, 40, 500, 330)) << i;
        EXPECT_EQ(Saved(w), kStored) << i;
    }
}

// A desktop that places windows itself and tells no client where (Wayland): a save keeps the
// places asked for, not the origin Qt reads back.
TEST(WindowGeometry, ADesktopThatHidesPlacesKeepsThePlacesAskedFor) {
    for (const auto& [file, place] :
         {std::pair<std::string, QPoint>{"", {238, 127}}, {kStoredFile, {30, 40}}}) {
        WindowFixture w(file, false);
        OuterGeometry::Of(w.form).SetPlacesReported(false);
        w.form.show();
        WindowFixture::ProcessEvents();
        w.form.move(-3, -30);  // where Qt on Wayland puts the frame
        const Geometry saved = Saved(w);
        EXPECT_EQ(QPoint(saved[0], saved[1]), place) << file;
    }
}

TEST(WindowGeometry, ExtremeValuesStayWithinTheDesktop) {
    WindowFixture w(
        "[Screen]\nLeft=-2147483648\nTop=2147483647\nHeight=2147483647\nWidth=100000\n"
        "MacroLeft=2147483647\nMacroTop=-2147483648\nMacroHeight=-2147483648\n"
        "MacroWidth=2147483647\n");
    const QRect desktop = QApplication::primaryScreen()->virtualGeometry();
    const int leftmost = desktop.left() - desktop.width();
    const int rightmost = desktop.left() + 2 * desktop.width() - 1;
    const int topmost = desktop.top() - desktop.height();
    const int lowest = desktop.top() + 2 * desktop.height() - 1;
    const Geometry saved = Saved(w);
    // The editor has not been shown: its values are kept exactly as cut.
    EXPECT_EQ(Geometry({saved[4], saved[5], saved[6], saved[7]}),
              Geometry({rightmost, topmost, 0, desktop.width()}));
    // The main window is shown (and the offscreen platform nudges places left of its screen).
    EXPECT_EQ(w.form.frameGeometry().size(), desktop.size());
    EXPECT_EQ(Geometry({saved[2], saved[3]}), Geometry({desktop.height(), desktop.width()}));
    EXPECT_GE(saved[0], leftmost);
    EXPECT_LT(saved[0], desktop.left());
    EXPECT_EQ(saved[1], lowest);

    OpenEditor(w);
    const QRect editor = w.form.Form2->frameGeometry();
    EXPECT_LE(editor.width(), desktop.width());
    EXPECT_LT(editor.height(), desktop.height() / 2);
    EXPECT_GE(editor.left(), leftmost);
    EXPECT_GE(editor.top(), topmost);

    // What was saved loads back as it was.
    const Geometry shown = Saved(w);
    WindowFixture again(SaveSetup(w));
    const Geometry reloaded = Saved(again);
    EXPECT_EQ(Geometry({reloaded[1], reloaded[2], reloaded[3]}),
              Geometry({shown[1], shown[2], shown[3]}));
    EXPECT_EQ(Geometry({reloaded[4], reloaded[5], reloaded[6], reloaded[7]}),
              Geometry({shown[4], shown[5], shown[6], shown[7]}));
}

}  // namespace
}  // namespace telkey
