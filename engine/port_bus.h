#pragma once
// The PC I/O port space as the engine sees it: bytes in and out at 16-bit addresses.
// A backend decides where they go (nothing, memory, real ports, today's devices).
#include <cstdint>

namespace telkey {

class LineGuard;  // engine/line_guard.h
class WakeWord;   // engine/wake_word.h

class PortBus {
  public:
    virtual ~PortBus() = default;
    virtual std::uint8_t in(std::uint16_t port) = 0;
    virtual void out(std::uint16_t port, std::uint8_t value) = 0;
    // Hands the output devices to the guardian, now and whenever one is opened again later.
    virtual void GuardLines(LineGuard& /*guard*/) noexcept {}
    // Whether in(port) changes only with a Wake of the word given to SetInputWake (or never),
    // so that a reader need not poll it. Cheap: the keyer asks on every tick it runs.
    virtual bool InputAnnounced(std::uint16_t /*port*/) const noexcept { return false; }
    // The word to wake on every change of an announced input; null: none. Once it returns, the
    // old word is no longer touched.
    virtual void SetInputWake(WakeWord* /*wake*/) noexcept {}
};

// A bus's announced inputs wake `wake` while this lives; declare it after both.
class InputWakeLink {
  public:
    InputWakeLink(PortBus& bus, WakeWord& wake) noexcept : bus_(bus) { bus_.SetInputWake(&wake); }
    ~InputWakeLink() { bus_.SetInputWake(nullptr); }
    InputWakeLink(const InputWakeLink&) = delete;
    InputWakeLink& operator=(const InputWakeLink&) = delete;

  private:
    PortBus& bus_;
};

}  // namespace telkey
