#pragma once
// The guardian: a small process forked at start-up, before any thread exists, that keeps the
// transmitter from staying keyed whatever happens to Telkey. The backends hand it their output
// descriptors (the same open files: exclusive ttys and claimed parallel ports stay as they are);
// the keyer thread beats on a page shared with it. When Telkey's end of the link closes (death
// by any cause) or the beat stops for kGuardianStallNs (SIGSTOP, a hung process), it writes the
// key and TX lines released and silences the speaker. It allocates nothing after it starts and
// ends when Telkey ends.
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/line_guard.h"
#include "engine/ports.h"
#include "engine/thread_tick_driver.h"

namespace telkey {

// Silence of the keyer after which the guardian releases; the rest of the half second is left
// for the guardian's own wake-up.
constexpr std::int64_t kGuardianStallNs = 350'000'000;

// The page the keyer thread writes and the guardian reads (MAP_SHARED).
struct GuardianPage {
    std::atomic<std::int64_t> beatNs{0};     // CLOCK_MONOTONIC of the last tick; 0 = not ticking
    std::atomic<std::uint32_t> keyPorts{0};  // bit n: key port n has been the key port
    std::atomic<std::uint32_t> allMask{0};   // what the output register holds released
    std::atomic<std::uint32_t> speaker{0};   // the speaker was sounding at the last tick
    std::atomic<std::uint32_t> finished{0};  // released in order: nothing to do at the end
};

class Guardian final : public LineGuard, public TickHeartbeat {
  public:
    // Forks the guardian; call before any thread exists. Null with `error` set on failure.
    static std::unique_ptr<Guardian> Start(std::string& error);
    // Closes the link: the guardian releases (unless Finished) and ends; waits for it.
    ~Guardian();
    Guardian(const Guardian&) = delete;
    Guardian& operator=(const Guardian&) = delete;

    // The beat also tells which port is the key port and what it holds released.
    void Watch(const PortSettings& settings, const Ports& ports) noexcept;

    void Hand(GuardedKind kind, int slot, int fd) noexcept override;
    void Forget(int slot) noexcept override;
    void Beat(std::int64_t nowNs) noexcept override;
    void Rest() noexcept override;

    // The outputs have been released in order; the guardian writes nothing more.
    void Finished() noexcept;
    pid_t Pid() const noexcept { return pid_; }

  private:
    Guardian(int link, GuardianPage* page, pid_t pid) noexcept
        : link_(link), page_(page), pid_(pid) {}
    void Send(GuardedKind kind, int slot, int fd) noexcept;

    int link_;
    GuardianPage* page_;
    pid_t pid_;
    std::atomic<const PortSettings*> settings_{nullptr};
    std::atomic<const Ports*> ports_{nullptr};
};

// The guardian's side: serves `link` until it closes, releasing as described above.
void RunGuardian(int link, GuardianPage& page) noexcept;

}  // namespace telkey
