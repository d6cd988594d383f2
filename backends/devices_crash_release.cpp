#include "backends/devices_crash_release.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <mutex>

namespace telkey {

namespace {

constexpr std::array kCrashSignals{SIGSEGV, SIGBUS, SIGABRT, SIGILL, SIGFPE};
constexpr int kMaxSignal = 32;
constexpr std::size_t kSlots = 8;

// A signal handler can only reach what is global; this table is the one place that must be.
std::array<std::atomic<CrashReleasable*>, kSlots> gOwners{};
std::array<struct sigaction, kMaxSignal> gPrevious{};
std::once_flag gInstalled;

void OnCrash(int sig) {
    const int savedErrno = errno;
    for (auto& slot : gOwners) {
        if (CrashReleasable* owner = slot.load(std::memory_order_acquire)) {
            owner->ReleaseFromSignal();
        }
    }
    // Hand the signal back to whoever had it before (normally the default action): it is
    // blocked while this handler runs and is delivered again as soon as the handler returns.
    sigaction(sig, &gPrevious[static_cast<std::size_t>(sig)], nullptr);
    raise(sig);
    errno = savedErrno;
}

void InstallHandlers() {
    for (int sig : kCrashSignals) {
        struct sigaction action {};
        action.sa_handler = OnCrash;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_ONSTACK;
        sigaction(sig, &action, &gPrevious[static_cast<std::size_t>(sig)]);
    }
}

}  // namespace

bool RegisterCrashRelease(CrashReleasable* owner) noexcept {
    std::call_once(gInstalled, InstallHandlers);
    for (auto& slot : gOwners) {
        CrashReleasable* expected = nullptr;
        if (slot.compare_exchange_strong(expected, owner, std::memory_order_acq_rel)) return true;
    }
    return false;
}

void UnregisterCrashRelease(CrashReleasable* owner) noexcept {
    for (auto& slot : gOwners) {
        CrashReleasable* expected = owner;
        slot.compare_exchange_strong(expected, nullptr, std::memory_order_acq_rel);
    }
}

}  // namespace telkey
