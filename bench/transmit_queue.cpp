// Window-thread cost of the transmit side, in the real main window (offscreen): one hand-over
// from a full Input window (10000 characters), one echo into a full Sent window (ten wrapped
// lines), a macro run with field and macro commands, and a self-including macro expanded to its
// bound. Prints min, median, 95th percentile and worst case in microseconds; asserts nothing.
#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTextCursor>
#include <QToolButton>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

#include "backends/port_bus_sim.h"
#include "engine/engine.h"
#include "engine/manual_tick_driver.h"
#include "engine/morse_tables.h"
#include "tests/support/recording_messages.h"
#include "transmit/macro_expansion.h"
#include "transmit/transmit_queue.h"
#include "ui/main_form.h"

namespace {

using namespace telkey;
using Clock = std::chrono::steady_clock;

constexpr int kHandovers = 5000;
constexpr int kEchoes = 5000;
constexpr int kMacroRuns = 200;

void Report(const char* what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    const auto at = [&us](double q) { return us[static_cast<std::size_t>(q * (us.size() - 1))]; };
    std::printf("%-46s min %8.1f  p50 %8.1f  p95 %8.1f  max %8.1f us  (n=%zu)\n", what, us.front(),
                at(0.5), at(0.95), us.back(), us.size());
}

template <typename F>
double Micros(F&& f) {
    const auto start = Clock::now();
    f();
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    SimPortBus bus;
    ManualTickDriver driver;
    Engine engine(bus, driver);
    test::RecordingMessages messages;
    TForm1 form(engine, messages);
    form.show();
    QApplication::processEvents();
    form.options.TxAtKeyboard = 0;
    form.TxButton->setChecked(true);
    form.ApplyTx();

    // Hand-over from the front of a full Input, the caret at the end: one paragraph of 10000
    // characters (the worst case: the whole paragraph is laid out again), then lines of 60.
    const QString word = QStringLiteral("cq test ");
    QString paragraph;
    QString lines;
    while (paragraph.size() < static_cast<qsizetype>(kInputMaxLength)) {
        paragraph += word;
        lines += lines.size() % 61 >= 52 ? QStringLiteral("cq test\n") : word;
    }
    paragraph.truncate(static_cast<qsizetype>(kInputMaxLength));
    lines.truncate(static_cast<qsizetype>(kInputMaxLength));
    std::uint8_t code = 0;
    for (const auto& [what, text] :
         {std::pair{"FeedKeyer, one paragraph of 10000..5000", paragraph},
          std::pair{"FeedKeyer, 10000..5000 in lines of 60", lines}}) {
        form.Input->setPlainText(text);
        QTextCursor end = form.Input->textCursor();
        end.movePosition(QTextCursor::End);
        form.Input->setTextCursor(end);
        std::vector<double> handover;
        for (int i = 0; i < kHandovers; ++i) {
            engine.mailbox.Take(code);
            handover.push_back(Micros([&] { form.FeedKeyer(); }));
        }
        Report(what, handover);
    }

    // Echo into a Sent window that is already at its ten lines.
    std::vector<double> echo;
    for (int i = 0; i < kEchoes; ++i) {
        engine.ring.Push(CharToCode(i % 5 == 4 ? ' ' : 'e'));
        echo.push_back(Micros([&] { form.EchoSent(); }));
    }
    Report("EchoSent, Sent at ten wrapped lines", echo);

    // A macro with fields and another macro, inserted into an empty Input.
    form.TxButton->setChecked(false);
    form.ApplyTx();
    form.CallEdit->setText(QStringLiteral("DL1ABC"));
    form.RSTEdit->setText(QStringLiteral("599"));
    form.macros.slots[2] = "~[ec] de OK1XYZ ";
    form.macros.slots[1] = "~[m2]~[m2]ur rst ~[esr] ~[esr] bk";
    std::vector<double> run;
    for (int i = 0; i < kMacroRuns; ++i) {
        form.Input->clear();
        run.push_back(Micros([&] { form.RunMacro(1); }));
    }
    Report("RunMacro, fields and a nested macro", run);

    // A macro that includes itself twice, expanded until the bound stops it.
    form.macros.slots[3] = "cq ~[m3]~[m3]";
    std::vector<double> runaway;
    for (int i = 0; i < kMacroRuns / 10; ++i) {
        form.Input->clear();
        runaway.push_back(Micros([&] { form.RunMacro(3); }));
    }
    Report("RunMacro, self-including, to the bound", runaway);
    return 0;
}
