// The real telkey program on its own X display with a window manager (Xvfb and openbox), driven
// with xdotool as an operator would: the stored geometry of both windows comes back unchanged
// after the macro editor was opened, stay-on-top toggled, "Save setup" chosen and the program
// started again. Skipped where Xvfb, openbox or the X tools are not installed.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bus/bus_test_support.h"
#include "support/scratch_dir.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::ScopedEnv;
using test::WaitUntil;

// Waits for a program on its own display are generous: the machine may be busy.
constexpr auto kBound = 30s;
// Time for a menu to open before the next key.
constexpr auto kMenuPause = 300ms;
// "Save setup" writes key by key; this long without a write, it is done.
constexpr auto kSaveQuiet = 2s;

// Outer rectangle: left, top, width, height.
using Outer = std::array<int, 4>;

// Both windows apart on a 1280 x 1024 screen, so that clicks land where they are meant.
constexpr char kStoredScreen[] =
    "[Screen]\nLeft=40\nTop=40\nHeight=330\nWidth=500\n"
    "MacroLeft=600\nMacroTop=420\nMacroHeight=380\nMacroWidth=560\n";
constexpr Outer kMainOuter{40, 40, 500, 330};
constexpr Outer kEditorOuter{600, 420, 560, 380};
// OnTopButton in the speed row, below the menu bar, in client coordinates.
constexpr int kOnTopX = 211;
constexpr int kOnTopY = 35;

std::string Telkey() {
    return std::string(TELKEY_BINARY_DIR) + "/telkey";
}

// The full path of a program on PATH, or empty.
std::string FindProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/" + name;
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return {};
}

// Runs a shell command and returns its standard output.
std::string Output(const std::string& command) {
    std::string text;
    if (std::FILE* pipe = ::popen((command + " 2>/dev/null").c_str(), "r")) {
        char chunk[4096];
        std::size_t n = 0;
        while ((n = std::fread(chunk, 1, sizeof chunk, pipe)) > 0) text.append(chunk, n);
        ::pclose(pipe);
    }
    return text;
}

// The visible top-level window of that exact title (its X id), or empty.
std::string VisibleWindow(const std::string& title) {
    std::stringstream ids(Output("xdotool search --onlyvisible --name '^" + title + "$'"));
    std::string id;
    std::string last;
    while (ids >> id) last = id;
    return last;
}

int Field(const std::string& text, const std::string& label) {
    const auto at = text.find(label);
    return at == std::string::npos ? -1 : std::atoi(text.c_str() + at + label.size());
}

// The window's outer rectangle as the window manager frames it.
std::optional<Outer> OuterOf(const std::string& id) {
    if (id.empty()) return std::nullopt;
    const std::string info = Output("xwininfo -id " + id);
    const std::string extents = Output("xprop -id " + id + " _NET_FRAME_EXTENTS");
    int left = 0, right = 0, top = 0, bottom = 0;
    const auto equals = extents.find('=');
    if (equals == std::string::npos || std::sscanf(extents.c_str() + equals + 1, " %d, %d, %d, %d",
                                                   &left, &right, &top, &bottom) != 4) {
        return std::nullopt;
    }
    return Outer{Field(info, "Absolute upper-left X:") - left,
                 Field(info, "Absolute upper-left Y:") - top, Field(info, "Width:") + left + right,
                 Field(info, "Height:") + top + bottom};
}

bool StaysOnTop(const std::string& id) {
    return Output("xprop -id " + id + " _NET_WM_STATE").find("_NET_WM_STATE_ABOVE") !=
           std::string::npos;
}

// Tells one version of a file from the next. Each replacement by rename changes the status
// time; the inode alone does not do, as the file system hands two numbers out by turns.
using FileStamp = std::array<long long, 3>;

FileStamp Stamp(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {static_cast<long long>(st.st_ino), st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
}

// The value of one key in a settings file's text.
std::string Value(const std::string& file, const std::string& key) {
    const auto at = file.find("\n" + key + "=");
    if (at == std::string::npos) return {};
    const auto begin = at + key.size() + 2;
    return file.substr(begin, file.find('\n', begin) - begin);
}

// An X server of its own with openbox managing it; DISPLAY points at it while this lives.
class Desktop {
  public:
    // Empty when the desktop is up, else what went wrong.
    std::string Start() {
        const std::string xvfb = FindProgram("Xvfb");
        xvfb_.emplace(std::vector<std::string>{xvfb, "-displayfd", "1", "-screen", "0",
                                               "1280x1024x24", "-nolisten", "tcp"});
        const std::optional<std::string> number = xvfb_->ReadLine(kBound);
        if (!number || number->empty()) return "Xvfb gave no display number";
        display_.emplace("DISPLAY", ":" + *number);
        openbox_.emplace(std::vector<std::string>{FindProgram("openbox")});
        const bool managed = WaitUntil(
            [] {
                return Output("xprop -root _NET_SUPPORTING_WM_CHECK").find("window id") !=
                       std::string::npos;
            },
            kBound);
        return managed ? std::string() : "openbox does not manage display :" + *number;
    }

  private:
    // Declared so that openbox ends before the X server.
    std::optional<Child> xvfb_;
    std::optional<ScopedEnv> display_;
    std::optional<Child> openbox_;
};

class WindowGeometryOnADesktop : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "openbox", "xdotool", "xwininfo", "xprop"}) {
            if (FindProgram(tool).empty()) GTEST_SKIP() << tool << " is not installed";
        }
        ASSERT_EQ(::access(Telkey().c_str(), X_OK), 0) << "build the telkey program first";
        const std::string error = desktop_.Start();
        ASSERT_EQ(error, "");
        test::WriteBytes(settings_, kStoredScreen);
    }

    // Telkey in the scratch directory on this display, with a bus of its own.
    std::unique_ptr<Child> StartTelkey() {
        const std::string log = dir_ / "telkey.log";
        auto telkey = std::make_unique<Child>(
            std::vector<std::string>{"/bin/sh", "-c",
                                     "cd '" + dir_.Path() + "' && exec '" + Telkey() +
                                         "' --ports=none >'" + log + "' 2>&1"});
        EXPECT_TRUE(WaitUntil([] { return !VisibleWindow("Telkey").empty(); }, kBound))
            << "no main window; telkey said: " << test::ReadBytes(log)
            << "; windows: " << Output("xdotool search --name .");
        // The stored geometry is applied when the settings are loaded, at the first activation.
        EXPECT_TRUE(
            WaitUntil([] { return OuterOf(VisibleWindow("Telkey")) == kMainOuter; }, kBound))
            << "main window not at its stored place and size";
        return telkey;
    }

    // Opens the Setup menu from the File menu and walks it with `keys`.
    static void Setup(const std::string& keys) {
        const std::string main = VisibleWindow("Telkey");
        Output("xdotool mousemove --window " + main + " 15 10 click 1");
        std::this_thread::sleep_for(kMenuPause);
        Output("xdotool key Right");
        std::this_thread::sleep_for(kMenuPause);
        Output("xdotool key --delay 100 " + keys);
    }

    // "Edit Macros", the fifth item of Setup.
    static void OpenEditor() {
        for (int attempt = 0; attempt < 3 && VisibleWindow("Edit Macros").empty(); ++attempt) {
            Setup("Down Down Down Down Return");
            WaitUntil([] { return !VisibleWindow("Edit Macros").empty(); }, 10s);
        }
        EXPECT_TRUE(
            WaitUntil([] { return OuterOf(VisibleWindow("Edit Macros")) == kEditorOuter; }, kBound))
            << "macro editor not at its stored place and size";
    }

    // "Save setup", the last item of Setup; returns the file it wrote.
    std::string SaveSetup() {
        const FileStamp before = Stamp(settings_);
        for (int attempt = 0; attempt < 3 && Stamp(settings_) == before; ++attempt) {
            Setup("Up Return");
            WaitUntil([&] { return Stamp(settings_) != before; }, 10s);
        }
        EXPECT_NE(Stamp(settings_), before) << "Save setup wrote nothing";
        // Every key replaces the file once; the save is over when it has stopped changing.
        FileStamp last = Stamp(settings_);
        auto since = std::chrono::steady_clock::now();
        EXPECT_TRUE(WaitUntil(
            [&] {
                const FileStamp now = Stamp(settings_);
                if (now != last) {
                    last = now;
                    since = std::chrono::steady_clock::now();
                }
                return std::chrono::steady_clock::now() - since >= kSaveQuiet;
            },
            kBound));
        return test::ReadBytes(settings_);
    }

    static void ClickOnTop(bool expectOnTop) {
        Output("xdotool mousemove --window " + VisibleWindow("Telkey") + " " +
               std::to_string(kOnTopX) + " " + std::to_string(kOnTopY) + " click 1");
        EXPECT_TRUE(WaitUntil(
            [&] {
                const std::string main = VisibleWindow("Telkey");
                return !main.empty() && StaysOnTop(main) == expectOnTop;
            },
            kBound));
        EXPECT_EQ(OuterOf(VisibleWindow("Telkey")), kMainOuter);
    }

    test::ScratchDir dir_;
    std::string settings_ = dir_ / "Telkey.ini";
    test::ScopedEnv platform_{"QT_QPA_PLATFORM", "xcb"};
    test::ScopedEnv bus_{"TELKEY_BUS_DIR", dir_ / "bus"};
    test::ScopedEnv common_{"TELKEY_COMMON_DIR", dir_ / "common"};
    Desktop desktop_;
};

TEST_F(WindowGeometryOnADesktop, SaveAndRestartKeepTheStoredGeometry) {
    std::string firstSave;
    {
        const auto telkey = StartTelkey();
        // Saved while the editor has never been shown.
        const std::string unopened = SaveSetup();
        OpenEditor();
        ClickOnTop(true);
        ClickOnTop(false);
        ClickOnTop(true);
        firstSave = SaveSetup();
        for (const std::string& file : {unopened, firstSave}) {
            EXPECT_EQ(Value(file, "Left"), "40");
            EXPECT_EQ(Value(file, "Top"), "40");
            EXPECT_EQ(Value(file, "Height"), "330");
            EXPECT_EQ(Value(file, "Width"), "500");
            EXPECT_EQ(Value(file, "MacroLeft"), "600");
            EXPECT_EQ(Value(file, "MacroTop"), "420");
            EXPECT_EQ(Value(file, "MacroHeight"), "380");
            EXPECT_EQ(Value(file, "MacroWidth"), "560");
        }
        EXPECT_EQ(Value(firstSave, "OnTop"), "1");
        EXPECT_EQ(telkey->Stop(), 128 + SIGTERM);  // ended as SIGTERM ends a program
    }
    {
        const auto telkey = StartTelkey();
        EXPECT_TRUE(StaysOnTop(VisibleWindow("Telkey")));
        OpenEditor();
        ClickOnTop(false);
        ClickOnTop(true);
        EXPECT_EQ(SaveSetup(), firstSave);
        EXPECT_EQ(telkey->Stop(), 128 + SIGTERM);  // ended as SIGTERM ends a program
    }
}

}  // namespace
}  // namespace telkey
