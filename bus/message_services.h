#pragma once
// Registered messages and synchronous broadcast, as the window side uses them. The message bus
// provides them between programs; tests substitute a recorder.
#include <cstdint>
#include <functional>
#include <string_view>

namespace telkey {

class MessageServices {
public:
    using Handler = std::function<std::int32_t(std::uint32_t msg, std::int32_t wParam,
                                               std::int32_t lParam)>;
    virtual ~MessageServices() = default;
    // The same name gives the same identifier (0xC000 upward) to every program; case-insensitive.
    virtual std::uint32_t RegisterMessage(std::string_view name) = 0;
    // Delivers to every participant, this program's own handler included, and returns when all
    // have answered (or been skipped).
    virtual void Broadcast(std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) = 0;
    // This program's own handler (the main window's hook); also serves frames from peers.
    virtual void SetHandler(Handler handler) = 0;
};

}  // namespace telkey
