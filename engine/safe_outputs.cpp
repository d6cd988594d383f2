#include "engine/safe_outputs.h"

#include "engine/engine.h"

namespace telkey {

void ReleaseOutputs(Engine& engine) noexcept {
    engine.timer.StopKeyerTimer();
    // SetKey keeps the TX bit while Transmitting is set; clear it first.
    engine.flags.Transmitting.store(0);
    engine.ports.SetKey(0);
    engine.ports.SetTx(0);
}

}  // namespace telkey
