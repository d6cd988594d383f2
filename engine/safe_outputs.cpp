#include "engine/safe_outputs.h"

#include "engine/engine.h"

namespace telkey {

void ReleaseOutputs(Engine& engine) noexcept {
    engine.timer.StopKeyerTimer();
    // SetKey keeps the TX bit while Transmitting is set; clear it first. No character is keyed
    // any more, so nothing holds the line either.
    engine.flags.Transmitting.store(0);
    engine.ports.SetKey(0, Ports::kTxHanded | Ports::kTxKeying);
    engine.ports.SetTx(0);
}

}  // namespace telkey
