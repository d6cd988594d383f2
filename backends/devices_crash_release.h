#pragma once
// Releasing the key and TX lines when the program crashes. On SIGSEGV, SIGBUS, SIGABRT, SIGILL
// or SIGFPE the handler asks every registered owner of lines to drop them (with async-signal-safe
// calls only: ioctl and write on descriptors already open), then lets the signal take its
// previous course, normally the default action, so the program still dies as it would have.
namespace telkey {

class CrashReleasable {
  public:
    // Called from a signal handler: async-signal-safe calls only, no locks, no allocation.
    virtual void ReleaseFromSignal() noexcept = 0;

  protected:
    ~CrashReleasable() = default;
};

// Installs the handlers on first use. False when all slots are taken.
bool RegisterCrashRelease(CrashReleasable* owner) noexcept;
void UnregisterCrashRelease(CrashReleasable* owner) noexcept;

}  // namespace telkey
