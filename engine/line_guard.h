#pragma once
// What the port backends tell the guardian (engine/guardian.h) about their output devices, so
// that it can release the lines from outside the program.
#include <cstdint>

namespace telkey {

// What a handed descriptor is.
enum class GuardedKind : std::uint32_t {
    Trace = 1,      // the sim backend's port trace: released writes are appended as lines
    RawPorts = 2,   // no descriptor: the guardian takes its own I/O permission
    Serial = 3,     // a tty behind COMn: DTR and RTS
    Parallel = 4,   // a ppdev node behind LPTn: the data lines
    PcSpeaker = 5,  // the kernel's PC speaker input device
    Rigctld = 6,    // a connection of its own to rigctld: PTT off and the rig's keyer stopped
};

// Slots: 1..7 are the key ports by KeyPortNumber; the trace, the speaker and the rig have their
// own.
constexpr int kGuardSlotTrace = 0;
constexpr int kGuardSlotSpeaker = 8;
constexpr int kGuardSlotRig = 9;
constexpr int kGuardSlots = 10;

// What the backends tell the guardian.
class LineGuard {
  public:
    // The guardian takes its own reference to the open file of `fd` (-1 for RawPorts) and
    // releases through it; a slot handed again replaces the old one.
    virtual void Hand(GuardedKind kind, int slot, int fd) noexcept = 0;
    // Before the descriptor of a slot is closed: the guardian lets go of it, so that the last
    // close is Telkey's (a tty drops its lines, a parallel port's claim ends).
    virtual void Forget(int slot) noexcept = 0;

  protected:
    ~LineGuard() = default;
};

}  // namespace telkey
