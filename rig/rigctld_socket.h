#pragma once
// A plain TCP connection to rigctld, apart from Hamlib's: the guardian keeps one to switch the
// rig's PTT off when Telkey cannot.
#include <chrono>
#include <string>

#include "engine/unique_fd.h"

namespace telkey::rig {

// Connects within `bound`; an invalid descriptor and `error` in words when it cannot. Blocks:
// for the rig's own threads only.
UniqueFd ConnectRigctld(const std::string& host, int port, std::chrono::milliseconds bound,
                        std::string& error);

}  // namespace telkey::rig
