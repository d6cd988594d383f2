// Telkey: a Morse (CW) keyboard keyer. The entry point puts the program together: command line,
// port backend, keyer timer, engine, message bus, the windows, and the message loop.
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QAbstractEventDispatcher>
#include <QGuiApplication>
#include <QMessageBox>
#include <QSocketNotifier>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "app/command_line.h"
#include "app/cwdaemon_start.h"
#include "app/local_messages.h"
#include "app/realtime_kit.h"
#include "app/stop_signals.h"
#include "app/telkey_application.h"
#include "app/winkeyer_start.h"
#include "backends/guardian.h"
#include "backends/port_bus_devices.h"
#include "backends/port_bus_factory.h"
#include "backends/standard_streams.h"
#include "engine/engine.h"
#include "engine/safe_outputs.h"
#include "engine/thread_tick_driver.h"
#include "exchange/cwdaemon_listener.h"
#include "exchange/logger_keying.h"
#include "exchange/window_bus.h"
#include "exchange/winkeyer_port.h"
#include "transmit/rig_tx.h"
#include "ui/about_box.h"
#include "ui/main_form.h"
#include "ui/profile_devices.h"
#include "ui/settings_values.h"
#include "widgets/cursor_blink_rest.h"
#include "widgets/message_box.h"
#include "widgets/status_panels.h"

namespace {

constexpr char kProgram[] = "telkey";
// Without an eventfd the window looks for news this often instead.
constexpr int kNewsLookMs = 250;

// Wakes the window thread when the keyer's driver or a backend has news for it, so that no
// timer runs while nothing happens.
class NewsWake {
  public:
    NewsWake() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~NewsWake() {
        if (fd_ >= 0) ::close(fd_);
    }
    NewsWake(const NewsWake&) = delete;
    NewsWake& operator=(const NewsWake&) = delete;
    int Fd() const noexcept { return fd_; }
    void Signal() const noexcept {
        const std::uint64_t one = 1;
        if (fd_ < 0) return;
        [[maybe_unused]] const ssize_t n = ::write(fd_, &one, sizeof one);
    }
    void Drain() const noexcept {
        std::uint64_t count = 0;
        if (fd_ < 0) return;
        [[maybe_unused]] const ssize_t n = ::read(fd_, &count, sizeof count);
    }

  private:
    const int fd_;
};

void PrintError(const std::string& text) {
    std::cerr << kProgram << ": " << text << '\n';
}

int UsageError(const std::string& text) {
    PrintError(text);
    std::cerr << "Try '" << kProgram << " --help'.\n";
    return telkey::kExitUsage;
}

// Without a display Qt would abort; say so plainly instead.
bool HaveDisplay(const std::vector<std::string>& others) {
    for (const std::string& arg : others) {
        if (arg == "-platform" || arg == "-display") return true;
    }
    for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') return true;
    }
    return false;
}

// A start-up message goes to stderr and, where someone can see it, into a message box; without a
// screen (offscreen) a modal box would wait for ever.
void TellAtStart(QMessageBox::Icon icon, const char* title, const std::string& text) {
    PrintError(text);
    if (QGuiApplication::platformName() == QLatin1String("offscreen")) return;
    QMessageBox box(icon, QLatin1String(title), QString::fromStdString(text), QMessageBox::Ok);
    telkey::PrepareForScreenReader(box);
    box.exec();
}

// Open files Telkey needs at most at once: the window system's and the event loop's own, the
// ports, sound, the bus, the cwdaemon and rig sockets, with room to spare.
constexpr rlim_t kFilesNeeded = 256;

// Whether the limit on open files (ulimit -n) leaves enough: below it the event loop's library
// aborts at start, and a port or socket opened later fails. A low soft limit is raised as far as
// the hard one allows.
bool EnoughFiles(std::string& error) {
    rlimit files{};
    if (::getrlimit(RLIMIT_NOFILE, &files) != 0 || files.rlim_cur >= kFilesNeeded) return true;
    rlimit raised = files;
    raised.rlim_cur =
        files.rlim_max == RLIM_INFINITY ? kFilesNeeded : std::min(files.rlim_max, kFilesNeeded);
    if (raised.rlim_cur >= kFilesNeeded && ::setrlimit(RLIMIT_NOFILE, &raised) == 0) return true;
    error = "the limit on open files (ulimit -n) is " + std::to_string(files.rlim_cur) +
            " and cannot be raised beyond " + std::to_string(files.rlim_max) +
            "; Telkey needs at least " + std::to_string(kFilesNeeded) +
            " (its window, ports, sound and sockets). Start it with a higher limit, such as "
            "ulimit -n 1024";
    return false;
}

// Whether a thread can be started: the limit on processes (ulimit -u) may allow none, and then
// the keyer cannot run and Qt itself hangs at the first paint.
bool CanStartThread(std::string& error) {
    try {
        std::thread([] {}).join();
        return true;
    } catch (const std::system_error& e) {
        error = std::string("cannot start a thread: ") + e.what() +
                "; the limit on processes (ulimit -u) may be reached. Telkey needs threads to key";
        return false;
    }
}

// Qt reports a thread of its own that it cannot start (the window system's event reader, the
// painter's helpers) only as a warning, and goes on without it: the window thread may then wait
// for ever for work that thread would have done, and Telkey looks alive and never keys. The
// warning ends Telkey at once instead, with the lines released and a clear message. Qt's message
// handler is a plain function: what it needs is kept here while the watch lives.
class QtThreadFailureWatch {
  public:
    QtThreadFailureWatch() { previous_ = qInstallMessageHandler(&Handle); }
    ~QtThreadFailureWatch() { qInstallMessageHandler(previous_); }
    QtThreadFailureWatch(const QtThreadFailureWatch&) = delete;
    QtThreadFailureWatch& operator=(const QtThreadFailureWatch&) = delete;

    // The ports released before Telkey ends (null: none).
    static void HoldOnFailure(telkey::Ports* ports) noexcept { ports_.store(ports); }

  private:
    static void Handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
        if (previous_ != nullptr) previous_(type, context, text);
        if (!text.startsWith(QLatin1String("QThread::start: Thread creation error"))) return;
        if (telkey::Ports* ports = ports_.load()) ports->Hold();
        PrintError(
            "cannot start a thread: Qt could not start one of its own; the limit on processes "
            "(ulimit -u) may be reached. Telkey ends: without its threads it cannot key");
        std::_Exit(EXIT_FAILURE);
    }

    static inline QtMessageHandler previous_ = nullptr;
    static inline std::atomic<telkey::Ports*> ports_{nullptr};
};

std::string Joined(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        if (!text.empty()) text += '\n';
        text += line;
    }
    return text;
}

// endSignal: the signal that asked Telkey to end, 0 when the window was closed.
int Run(telkey::TelkeyApplication& app, const telkey::CommandLine& line, telkey::Guardian* guardian,
        int& endSignal) {
    using namespace telkey;

    // Qt has taken its own arguments; anything left is not understood.
    std::vector<std::string> rest;
    for (qsizetype i = 1; i < app.arguments().size(); ++i) {
        rest.push_back(app.arguments().at(i).toStdString());
    }
    CommandLine unused;
    std::string error;
    if (!ParseCommandLine(rest, unused, error)) return UsageError(error);
    if (!unused.others.empty()) return UsageError("unexpected argument '" + unused.others[0] + "'");

    // The devices kept in the settings file this run will use, unless the command line names
    // others.
    const ProfileFile settings(SettingsFileOf(line));
    const PortBusOptions portOptions = MergeDeviceChoices(line.ports, ReadDeviceChoices(settings));
    const rig::RigChoice rigChoice = rig::MergeRigChoice(line.rig, ReadRigChoice(settings));
    PortBusResult ports = MakePortBus(portOptions);
    if (!ports.bus) {
        TellAtStart(QMessageBox::Critical, kErrorTitle, ports.error);
        return EXIT_FAILURE;
    }
    if (!ports.warnings.empty()) {
        TellAtStart(QMessageBox::Warning, kApplicationTitle, Joined(ports.warnings));
    }
    // After the ports, so that their file names count from the directory started in.
    if (!line.settingsDir.empty()) {
        std::string dirError;
        if (!EnterSettingsDirectory(line.settingsDir, dirError)) {
            TellAtStart(QMessageBox::Critical, kErrorTitle, dirError);
            return EXIT_FAILURE;
        }
    }

    if (std::string threadError; !CanStartThread(threadError)) {
        PrintError(threadError);
        return EXIT_FAILURE;
    }
    // Without root or an rtprio limit the keyer thread asks RealtimeKit for real-time priority.
    // It is reached on a thread of its own: a system bus that hangs holds nothing here.
    RealtimeKit realtimeKit;
    const NewsWake news;  // outlives the driver and every notice source's link to it
    ThreadTickDriver driver;
    driver.SetRealtimeBroker(&realtimeKit);
    driver.SetBrokerAnswered([&news] { news.Signal(); });
    Engine engine(*ports.bus, driver);
    const InputWakeLink paddleWakesKeyer(*ports.bus, engine.keyer.WakeSignal());
    if (guardian != nullptr) {
        ports.bus->GuardLines(*guardian);
        guardian->Watch(engine.portSettings, engine.ports);
        driver.SetHeartbeat(guardian);
        // A release by the guardian (the keyer was stopped or stalled) cuts the character on
        // the air, and the TX line's return is a new rise.
        engine.ports.WatchReleases(&guardian->ReleaseWord());
    }
    // The devices backend's watchdog follows this keyer's ticks, until the engine goes: the
    // ports' last release writes still wake it.
    struct KeyerWatch {
        DeviceSupervision* devices;
        ~KeyerWatch() {
            if (devices != nullptr) devices->StopWatchingKeyer();
        }
    } keyerWatch{ports.devices};
    if (ports.devices != nullptr) ports.devices->WatchKeyer(engine.keyer, engine.portSettings);
    // However Run ends, the transmitter must not stay keyed. Declared before the windows, so
    // it runs after they are gone and the keyer timer has stopped.
    struct OutputGuard {
        Engine& engine;
        ~OutputGuard() { ReleaseOutputs(engine); }
    } outputGuard{engine};

    // Without the bus Telkey still keys; only the link to logging programs is missing.
    LocalMessages localMessages;
    std::string busError;
    std::unique_ptr<WindowBus> bus = OpenWindowBus(nullptr, busError);
    MessageServices* messages = bus ? static_cast<MessageServices*>(bus.get()) : &localMessages;
    if (!bus) {
        const std::string text = "The link to logging programs is not available: " + busError +
                                 "\nTelkey runs without it.";
        TellAtStart(QMessageBox::Warning, kApplicationTitle, text);
    }

    TForm1 form(engine, *messages);
    form.stationDevices = ports.devices;
    form.rigTx->SetGuard(guardian);
    form.rigTx->Configure(rigChoice);
    const CursorBlinkRest cursorBlinkRest;
    // The keyer sleeps between its events: whatever the window changed wakes it.
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     &form, [&engine] { engine.WakeKeyerOnChange(); });
    TAbout about(&form);
    form.About = &about;
    // What scheduling the keyer thread got: on stderr when it changes, and in the status bar's
    // tooltip.
    std::string schedulingLine;
    std::string guardianLine;  // why no guardian runs, while none does
    driver.SetSchedulingObserver([&](const ThreadScheduling& scheduling) {
        const std::string text = SchedulingReport(scheduling, realtimeKit);
        if (text != schedulingLine) PrintError(text);
        schedulingLine = text;
        form.StatusBar->SetTipLine(StatusPanels::TipLine::kScheduling,
                                   QString::fromStdString(text));
    });
    // Logging programs key through the cwdaemon protocol or an emulated WinKeyer when the
    // command line or [Devices] asks; both share one keying, and with it the key.
    std::string winkeyerChoice = ReadWinkeyerChoice(settings);
    if (line.winkeyer) {
        winkeyerChoice = line.winkeyerLink.empty() ? kWinkeyerDefaultChoice : line.winkeyerLink;
    }
    std::unique_ptr<LoggerKeying> loggerKeying;
    if (line.cwdaemon.enabled || !winkeyerChoice.empty()) loggerKeying = MakeLoggerKeying(form);
    std::unique_ptr<CwdaemonListener> cwdaemon;
    if (line.cwdaemon.enabled) {
        std::string cwdaemonError;
        cwdaemon = StartCwdaemon(form, *loggerKeying, line.cwdaemon, cwdaemonError);
        if (!cwdaemon) {
            TellAtStart(QMessageBox::Warning, kApplicationTitle, cwdaemonError);
        }
    }
    std::unique_ptr<WinkeyerPort> winkeyer;
    if (!winkeyerChoice.empty()) {
        std::string winkeyerError;
        winkeyer = StartWinkeyer(*loggerKeying,
                                 winkeyerChoice == kWinkeyerDefaultChoice ? "" : winkeyerChoice,
                                 winkeyerError);
        if (!winkeyer) TellAtStart(QMessageBox::Warning, kApplicationTitle, winkeyerError);
    }
    // A first start on the devices backend leads to the station set-up.
    form.GuideFirstStart();
    form.show();
    // Notices of the devices backend (a device gone or back, lines released by the watchdog,
    // no sound server) and of the guardian (one ended and was replaced, none can be started):
    // each on stderr, and the latest in one box that does not block keying. They and
    // RealtimeKit's answer (it comes while the keyer ticks) wake the window through `news`.
    std::vector<DeviceNotices*> noticeSources;
    if (ports.devices != nullptr) {
        for (const std::string& text : ports.devices->Notices().TakeNew()) PrintError(text);
        noticeSources.push_back(&ports.devices->Notices());
    }
    if (guardian != nullptr) noticeSources.push_back(&guardian->Notices());
    struct NoticeLinks {
        const std::vector<DeviceNotices*>& sources;
        ~NoticeLinks() {
            for (DeviceNotices* source : sources) source->WakeOnPost(-1);
        }
    } noticeLinks{noticeSources};
    for (DeviceNotices* source : noticeSources) source->WakeOnPost(news.Fd());
    auto* noticeBox = new QMessageBox(QMessageBox::Information, QLatin1String(kApplicationTitle),
                                      QString(), QMessageBox::Ok, &form);
    noticeBox->setWindowModality(Qt::NonModal);
    const auto takeNews = [&, noticeBox] {
        news.Drain();
        driver.TakeBrokerAnswer();
        std::string latest;
        for (DeviceNotices* source : noticeSources) {
            for (const std::string& text : source->TakeNew()) PrintError(latest = text);
        }
        const std::string down = guardian != nullptr ? guardian->Problem() : "";
        if (down != guardianLine) {
            guardianLine = down;
            form.StatusBar->SetTipLine(StatusPanels::TipLine::kGuardian,
                                       QString::fromStdString(down));
        }
        if (latest.empty()) return;
        noticeBox->setText(QString::fromStdString(latest));
        ShowNotice(*noticeBox);
    };
    std::unique_ptr<QSocketNotifier> newsNotifier;
    QTimer newsTimer;
    if (news.Fd() >= 0) {
        newsNotifier = std::make_unique<QSocketNotifier>(news.Fd(), QSocketNotifier::Read);
        QObject::connect(newsNotifier.get(), &QSocketNotifier::activated, &form, takeNews);
    } else {
        QObject::connect(&newsTimer, &QTimer::timeout, &form, takeNews);
        newsTimer.start(kNewsLookMs);
    }
    takeNews();  // what came before the links were made
    // A signal that would end Telkey closes the window as the operator would (timer stopped,
    // outputs released), and a broadcast that waits for a slow participant gives up at once;
    // one that stops it releases the lines first. After a stop the interrupted element is cut
    // and the TX line follows the transmit state again.
    StopSignals stopSignals([&form, messages] {
        messages->StopWaiting();
        form.close();
    });
    if (!stopSignals.Error().empty()) PrintError(stopSignals.Error());
    stopSignals.HoldOnSignal(&engine.ports);
    QtThreadFailureWatch::HoldOnFailure(&engine.ports);
    struct NoHoldAfter {
        ~NoHoldAfter() { QtThreadFailureWatch::HoldOnFailure(nullptr); }
    } noHoldAfter;
    // A SIGCONT without a stop (a shell's `fg`) changes nothing: only lines that were released
    // during a stop (by the stop handler, or by the guardian after SIGSTOP) are taken up again.
    std::uint32_t guardianReleases = guardian != nullptr ? guardian->Releases() : 0;
    stopSignals.OnContinue([&engine, guardian, &guardianReleases] {
        const std::uint32_t releases = guardian != nullptr ? guardian->Releases() : 0;
        const bool released = engine.ports.Held() || releases != guardianReleases;
        guardianReleases = releases;
        if (!released) return;
        engine.ports.Hold();
        engine.ports.Resume();
    });
    // A broadcast waiting for a participant that does not answer still hears the signals.
    struct StopWatch {
        MessageServices& messages;
        int fd;
        ~StopWatch() { messages.WatchWhileWaiting(fd, nullptr); }
    } stopWatch{*messages, stopSignals.WakeFd()};
    if (stopWatch.fd >= 0) {
        messages->WatchWhileWaiting(stopWatch.fd, [&stopSignals] { stopSignals.Drain(); });
    }

    const int status = app.exec();
    endSignal = stopSignals.Received();
    return status;
}

}  // namespace

// Before any shared library's constructor runs: a descriptor 0 to 2 closed by whoever started
// Telkey must not become a library's socket, a port or the guardian's link.
[[gnu::section(".preinit_array"),
  gnu::used]] constexpr void (*kStreamsFirst)() = telkey::OpenStandardStreams;

int main(int argc, char** argv) {
    using namespace telkey;
    OpenStandardStreams();
    if (IsGuardianCall(argc, argv)) GuardianMain();
    UnblockStandardError();
    IgnoreBrokenPipes();
    std::string limitError;
    if (!EnoughFiles(limitError)) {
        PrintError(limitError);
        return EXIT_FAILURE;
    }

    CommandLine line;
    std::string error;
    if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), line, error)) {
        return UsageError(error);
    }
    if (line.help) {
        std::cout << UsageText(kProgram);
        return EXIT_SUCCESS;
    }
    if (line.version) {
        std::cout << VersionText();
        return EXIT_SUCCESS;
    }
    if (!HaveDisplay(line.others)) {
        // What is wrong with the ports is worth knowing as well.
        const PortBusResult ports = MakePortBus(line.ports);
        if (!ports.bus) PrintError(ports.error);
        PrintError(
            "no display to show the window on (set DISPLAY, or run with -platform offscreen)");
        return EXIT_FAILURE;
    }

    // The guardian that releases the lines whatever becomes of Telkey, replaced when it ends.
    std::string guardianError;
    std::unique_ptr<Guardian> guardian = Guardian::Start(kGuardianProgram, guardianError);
    if (!guardian) PrintError(guardianError + "; Telkey runs without it");

    const QtThreadFailureWatch qtThreads;
    TelkeyApplication app(argc, argv);
    try {
        int endSignal = 0;
        const int status = Run(app, line, guardian.get(), endSignal);
        // The outputs are released: the guardian has nothing more to do.
        if (guardian) guardian->Finished();
        if (endSignal != 0) EndBySignal(endSignal);
        return status;
    } catch (const std::exception& e) {
        PrintError(ErrorText(e));
        app.ShowError(QString::fromStdString(ErrorText(e)));
    } catch (...) {
        PrintError("unknown error");
        app.ShowError(QStringLiteral("Unknown error"));
    }
    return EXIT_FAILURE;
}
