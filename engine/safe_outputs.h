#pragma once
// Leaving the outputs safe when Telkey ends: no tick runs any more, the key and TX lines are
// released and the speaker is silent.
namespace telkey {

struct Engine;

// Stops the keyer timer (so no tick writes the lines again), then releases the key line, the TX
// line and the speaker. Window thread; safe to call more than once.
void ReleaseOutputs(Engine& engine) noexcept;

}  // namespace telkey
