#pragma once
// The guardian: a small process that keeps the transmitter from staying keyed whatever happens
// to Telkey. It is Telkey's own program started again with a hidden argument (fork and exec,
// safe with threads running) under a name no `telkey` pattern matches, so that `pkill telkey`
// leaves it to release. The backends hand it their output descriptors (the same open files:
// exclusive ttys and claimed parallel ports stay as they are), and the keyer thread beats on a
// page shared with it. When Telkey's end of the link closes (death by any cause) or the
// beat stops for kGuardianStallNs (SIGSTOP, a hung process) while a line is on, it writes the
// key and TX lines released and silences the speaker. While nothing is on it sleeps: the keyer
// wakes it through an eventfd when a line goes on, once per change, not per tick. It allocates
// nothing after it starts and ends when Telkey ends. Two run at once, so that one killed a
// moment before Telkey leaves the other to release; the first to notice releases, the other
// stands by. A watcher thread in Telkey starts a new guardian as soon as one ends and hands it
// every descriptor and the page again; when none can be started it says so and tries again.
#include <sys/types.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "backends/devices_notices.h"
#include "engine/line_guard.h"
#include "engine/ports.h"
#include "engine/thread_tick_driver.h"

namespace telkey {

// Silence of the keyer after which the guardian releases; the rest of the half second is left
// for the guardian's own wake-up.
constexpr std::int64_t kGuardianStallNs = 350'000'000;
// The program that is started as the guardian: Telkey itself, even once its file is replaced.
constexpr char kGuardianProgram[] = "/proc/self/exe";

// The page the keyer thread writes and the guardian reads (MAP_SHARED).
struct GuardianPage {
    std::atomic<std::int64_t> beatNs{0};        // CLOCK_MONOTONIC of the last tick; 0 = not ticking
    std::atomic<std::uint32_t> keyPorts{0};     // bit n: key port n has been the key port
    std::atomic<std::uint32_t> allMask{0};      // what the output register holds released
    std::atomic<std::uint32_t> speaker{0};      // the speaker was sounding at the last tick
    std::atomic<std::uint32_t> finished{0};     // released in order: nothing to do at the end
    std::atomic<std::uint32_t> releases{0};     // releases of a silent keyer so far
    std::atomic<std::uint32_t> lineOn{0};       // key, TX, a test line or the speaker is on
    std::atomic<std::uint32_t> endClaimed{0};   // the pid of the guardian that releases at the end
    std::atomic<std::uint32_t> endReleased{0};  // and has done so
};

// Guardians running at once: one killed just before Telkey leaves the other to release.
constexpr int kGuardians = 2;

// True when the command line is the one a guardian is started with.
bool IsGuardianCall(int argc, char** argv) noexcept;
// The guardian program (its link on descriptor 3, the page on 4, its wake-up on 5); ends the
// process.
[[noreturn]] void GuardianMain() noexcept;

class Guardian final : public LineGuard, public TickHeartbeat {
  public:
    // Shares the page, starts `program` as the guardian and watches it. Null with `error` set
    // only when no page can be shared; a guardian that cannot be started is told in Notices().
    static std::unique_ptr<Guardian> Start(const std::string& program, std::string& error);
    // Stops watching and closes the link: the guardian releases (unless Finished) and ends.
    ~Guardian();
    Guardian(const Guardian&) = delete;
    Guardian& operator=(const Guardian&) = delete;

    // The beat also tells which port is the key port and what it holds released.
    void Watch(const PortSettings& settings, const Ports& ports) noexcept;

    void Hand(GuardedKind kind, int slot, int fd) noexcept override;
    void Forget(int slot) noexcept override;
    bool Beat(std::int64_t nowNs) noexcept override;
    void Rest() noexcept override;

    // The outputs have been released in order; the guardian writes nothing more.
    void Finished() noexcept;
    // The first guardian process now, -1 while there is none.
    pid_t Pid() const;
    // Each guardian process now, -1 where there is none.
    std::array<pid_t, kGuardians> Pids() const;
    // Every guardian has started and holds the lines.
    bool Guarding() const;
    // While no guardian can be started: what the operator was told, else empty.
    std::string Problem() const;
    // How many times a guardian released a keyer that had gone silent (a stop, a hang).
    std::uint32_t Releases() const noexcept { return page_->releases.load(); }
    const std::atomic<std::uint32_t>& ReleaseWord() const noexcept { return page_->releases; }
    // A guardian ended, cannot be started, or runs again: for the operator.
    DeviceNotices& Notices() noexcept { return notices_; }

  private:
    struct Slot {
        GuardedKind kind;
        int fd;  // Telkey's own copy, handed again to every new guardian
    };

    // One guardian process and what Telkey knows of it.
    struct Watched {
        int link = -1;
        pid_t pid = -1;
        bool ready = false;  // it has said it runs
        int lineWake = -1;   // its eventfd: written when a line goes on
        std::int64_t nextTryNs = 0;
        std::string ended;     // why the last one ended, told once the next one runs
        int failedStarts = 0;  // in a row, each ended before it said it runs
    };

    Guardian(std::string program, int pageFd, GuardianPage* page, int wakeFd) noexcept;
    // Starts a guardian and hands it everything; with mutex_ held.
    bool Spawn(Watched& w, std::string& error);
    // The guardian's link hung up: reaps it and says why; with mutex_ held.
    void Ended(Watched& w);
    // This one cannot run: tries again later, and says so once when no guardian runs; with
    // mutex_ held.
    void TellDown(Watched& w, const std::string& reason);
    // It has said it runs: tells what it replaced; with mutex_ held.
    void Ready(Watched& w);
    void SendAll(GuardedKind kind, int slot, int fd) noexcept;
    void Send(Watched& w, GuardedKind kind, int slot, int fd) noexcept;
    void WakeGuardian() noexcept;
    void WatchLoop();

    const std::string program_;
    const int pageFd_;
    GuardianPage* const page_;
    const int wakeFd_;
    mutable std::mutex mutex_;
    std::array<Watched, kGuardians> guardians_{};
    bool stopping_ = false;
    bool rawPorts_ = false;
    std::array<Slot, kGuardSlots> slots_{};
    std::string problem_;  // told to the operator: no guardian can be started
    DeviceNotices notices_;
    std::thread watcher_;
    std::atomic<const PortSettings*> settings_{nullptr};
    std::atomic<const Ports*> ports_{nullptr};
};

// One message on a guardian's link: `slot` holds `fd` (-1: none) of `kind`, or with kind 0 is
// forgotten. False when the guardian is gone.
bool SendToGuardian(int link, GuardedKind kind, int slot, int fd) noexcept;

// The guardian's side: serves `link` until it closes, releasing as described above; `lineWake`
// (an eventfd, or -1 to look every so often) tells it a line has gone on.
void RunGuardian(int link, int lineWake, GuardianPage& page) noexcept;

}  // namespace telkey
