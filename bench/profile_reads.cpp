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

#include <time.h>
#include <unistd.h>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "profile/profile_file.h"
#include "tests/support/recording_messages.h"
#include "ui/main_form.h"

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

// Wall-clock and CPU milliseconds of one call; the CPU time (this thread's, the kernel's share
// included) says more than the wall clock on a busy machine.
struct Cost {
    double wall;
    double cpu;
};

double ThreadCpuMillis() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_nsec) / 1e6;
}

template <typename F>
Cost Millis(F&& f) {
    const auto start = Clock::now();
    const double cpuStart = ThreadCpuMillis();
    f();
    return {std::chrono::duration<double, std::milli>(Clock::now() - start).count(),
            ThreadCpuMillis() - cpuStart};
}

void Report(const char* what, std::vector<Cost> costs) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (const Cost& c : costs) {
        wall.push_back(c.wall);
        cpu.push_back(c.cpu);
    }
    std::sort(wall.begin(), wall.end());
    std::sort(cpu.begin(), cpu.end());
    std::printf("%-50s wall min %7.1f median %7.1f  cpu min %7.1f median %7.1f ms (n=%zu)\n", what,
                wall.front(), wall[wall.size() / 2], cpu.front(), cpu[cpu.size() / 2],
                costs.size());
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

    std::vector<Cost> read;
    std::vector<Cost> write;
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
    std::vector<Cost> create;
    std::vector<Cost> activate;
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
    std::vector<Cost> run;
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
