#pragma once
// A plain TCP connection to rigctld: the rig link talks through one, and the guardian keeps one
// of its own to switch the rig's PTT off when Telkey cannot.
#include <chrono>
#include <string>

#include "engine/unique_fd.h"

namespace telkey::rig {

// Connects within `bound`; an invalid descriptor, `error` in words and errno (ECONNREFUSED when
// nobody listens) when it cannot. The descriptor does not block. Blocks itself:
// for the rig's own threads only.
UniqueFd ConnectRigctld(const std::string& host, int port, std::chrono::milliseconds bound,
                        std::string& error);

}  // namespace telkey::rig
