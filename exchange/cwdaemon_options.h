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
    // Datagrams from sockets of other users are refused unless this is set (or the address
    // is not a loopback address, where the sender's user cannot be known).
    bool allowAnyUser = false;
};

// Takes one command-line argument if it is a cwdaemon option: "--cwdaemon", "--cwdaemon=PORT",
// "--cwdaemon-bind=ADDRESS" (which also turns the listener on) or "--cwdaemon-allow=any".
// Returns false when the argument is not one; on a bad value returns true and sets `error`.
bool ParseCwdaemonOption(std::string_view arg, CwdaemonOptions& options, std::string& error);

// True when the address (IPv4 or IPv6, numeric) is a loopback address.
bool IsLoopbackAddress(std::string_view address);

}  // namespace telkey
