#pragma once
// The command-line options of the cwdaemon listener.
#include <cstdint>
#include <string>
#include <string_view>

#include "exchange/cwdaemon_request.h"

namespace telkey {

inline constexpr char kCwdaemonDefaultBind[] = "127.0.0.1";

struct CwdaemonOptions {
    bool enabled = false;
    std::uint16_t port = kCwdaemonDefaultPort;
    // The protocol has no authentication: only this machine may key unless told otherwise.
    std::string bind = kCwdaemonDefaultBind;
};

// Takes one command-line argument if it is a cwdaemon option: "--cwdaemon", "--cwdaemon=PORT"
// or "--cwdaemon-bind=ADDRESS" (which also turns the listener on). Returns false when the
// argument is not one; on a bad value returns true and sets `error`.
bool ParseCwdaemonOption(std::string_view arg, CwdaemonOptions& options, std::string& error);

// True when the address (IPv4 or IPv6, numeric) is a loopback address.
bool IsLoopbackAddress(std::string_view address);

}  // namespace telkey
