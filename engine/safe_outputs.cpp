#include "engine/safe_outputs.h"

#include "engine/engine.h"

namespace telkey {

void ReleaseOutputs(Engine& engine) noexcept {
    engine.timer.StopKeyerTimer();
    // SetKey keeps the TX bit while Transmitting is set; clear it first. Held, nothing the
    // window still does (a station test, a TX switch) keys the lines again; no character is
    // keyed any more, so nothing holds the line either.
    engine.flags.Transmitting.store(0);
    engine.ports.Hold();
    engine.ports.SetKey(0, Ports::kTxHanded | Ports::kTxKeying);
    engine.ports.SetTx(0);
}

}  // namespace telkey
