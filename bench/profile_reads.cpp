// Large INI files in the real main window (offscreen): a macro with INI commands run against a
// 50 MB logger file, and the start-up (window creation and first activation) with a 50 MB
// Telkey.ini whose own keys stand at its end. Also one read and one write of such a file on its
// own. Prints milliseconds; asserts nothing.
#include <QApplication>
#include <QPlainTextEdit>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/port_bus_sim.h"
#include "tests/support/recording_messages.h"
#include "ui/main_form.h"
#include "ui/profile_file.h"

namespace {

using namespace telkey;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kFileBytes = 50u << 20;
constexpr int kRuns = 3;

// `[QSOn]` sections of a logger's own records, as many as fill the size, then `tail`.
std::string BigIniText(const std::string& tail) {
    std::string text;
    text.reserve(kFileBytes + tail.size() + 256);
    for (int n = 0; text.size() < kFileBytes; ++n) {
        const std::string id = std::to_string(n);
        text += "[QSO" + id + "]\r\nCall=DL" + id + "ABC\r\nRprtSent=599\r\nName=Hans\r\n";
        text += "Date=2026-12-07\r\nTime=12:00\r\nBand=14\r\nMode=CW\r\n\r\n";
    }
    return text + tail;
}

void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

template <typename F>
double Millis(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void Report(const char* what, std::vector<double> ms) {
    std::sort(ms.begin(), ms.end());
    std::printf("%-52s min %8.1f  median %8.1f  max %8.1f ms  (n=%zu)\n", what, ms.front(),
                ms[ms.size() / 2], ms.back(), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("telkey-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    std::filesystem::current_path(dir);
    ::setenv("TELKEY_COMMON_DIR", dir.c_str(), 1);

    const std::string logger = (dir / "brixo.ini").string();
    WriteFile(logger, BigIniText("[QSO]\r\nCall=OK1XYZ\r\nName=Petr\r\nRprtSent=579\r\n"));
    WriteFile("Telkey.ini",
              BigIniText("[Qor_Cw]\r\nSpeed=90\r\nIsYamb=0\r\n[MOX]\r\nMoxOn=1\r\n"
                         "[Cw_Macros]\r\nMacro1=\"~[iCall] ur ~[iRprtSent] ~[iName]\"\r\n"));
    std::printf("files of %zu MB, the wanted keys at the end\n", kFileBytes >> 20);

    std::vector<double> read;
    std::vector<double> write;
    for (int i = 0; i < kRuns; ++i) {
        ProfileFile file(logger);
        read.push_back(Millis([&] { (void)file.ReadString("QSO", "Name", ""); }));
        write.push_back(Millis([&] { file.WriteString("QSO", "Name", "Petr"); }));
    }
    Report("one read of a 50 MB file", read);
    Report("one write into a 50 MB file", write);

    QApplication app(argc, argv);
    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine(bus, driver);
    test::RecordingMessages messages;
    std::vector<double> create;
    std::vector<double> activate;
    for (int i = 0; i < kRuns; ++i) {
        std::unique_ptr<TForm1> form;
        create.push_back(Millis([&] { form = std::make_unique<TForm1>(engine, messages); }));
        activate.push_back(Millis([&] { form->FormActivate(); }));
        form->FormDestroy();
    }
    Report("start-up: main window created (reads OnTop)", create);
    Report("start-up: first activation (LoadSettings ...)", activate);

    TForm1 form(engine, messages);
    form.FormActivate();
    std::vector<double> run;
    for (int i = 0; i < kRuns; ++i) {
        form.Input->clear();
        run.push_back(Millis([&] { form.RunMacro(1); }));
    }
    std::printf("macro 1 gives \"%s\"\n", form.Input->toPlainText().toUtf8().constData());
    Report("RunMacro with three INI commands, 50 MB logger file", run);
    form.FormDestroy();

    std::filesystem::current_path("/");
    std::filesystem::remove_all(dir);
    return 0;
}
