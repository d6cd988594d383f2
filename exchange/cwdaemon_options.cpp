#include "exchange/cwdaemon_options.h"

#include <arpa/inet.h>

#include <cstring>

namespace telkey {

namespace {

constexpr std::string_view kOption = "--cwdaemon";
constexpr std::string_view kPortOption = "--cwdaemon=";
constexpr std::string_view kBindOption = "--cwdaemon-bind=";
constexpr std::string_view kAllowOption = "--cwdaemon-allow=";
constexpr unsigned kMaxPort = 65535;

bool ParsePort(std::string_view text, std::uint16_t& port) {
    if (text.empty() || text.size() > 5) return false;
    unsigned value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value == 0 || value > kMaxPort) return false;
    port = static_cast<std::uint16_t>(value);
    return true;
}

bool IsNumericAddress(const std::string& address) {
    in_addr v4{};
    in6_addr v6{};
    return inet_pton(AF_INET, address.c_str(), &v4) == 1 ||
           inet_pton(AF_INET6, address.c_str(), &v6) == 1;
}

}  // namespace

bool ParseCwdaemonOption(std::string_view arg, CwdaemonOptions& options, std::string& error) {
    if (arg == kOption) {
        options.enabled = true;
        return true;
    }
    if (arg.starts_with(kPortOption)) {
        const std::string_view value = arg.substr(kPortOption.size());
        if (!ParsePort(value, options.port)) {
            error = "--cwdaemon: '" + std::string(value) + "' is not a UDP port (1 to 65535)";
            return true;
        }
        options.enabled = true;
        return true;
    }
    if (arg.starts_with(kBindOption)) {
        const std::string value(arg.substr(kBindOption.size()));
        if (!IsNumericAddress(value)) {
            error = "--cwdaemon-bind: '" + value +
                    "' is not a numeric IP address (such as 127.0.0.1, 0.0.0.0 or ::1)";
            return true;
        }
        options.bind = value;
        options.enabled = true;
        return true;
    }
    if (arg.starts_with(kAllowOption)) {
        const std::string_view value = arg.substr(kAllowOption.size());
        if (value != "any") {
            error = "--cwdaemon-allow: '" + std::string(value) +
                    "' is not known; 'any' lets every user of this machine key";
            return true;
        }
        options.allowAnyUser = true;
        options.enabled = true;
        return true;
    }
    return false;
}

bool IsLoopbackAddress(std::string_view address) {
    const std::string text(address);
    in_addr v4{};
    if (inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return (ntohl(v4.s_addr) >> 24) == 127;
    }
    in6_addr v6{};
    if (inet_pton(AF_INET6, text.c_str(), &v6) == 1) {
        static const in6_addr loopback = IN6ADDR_LOOPBACK_INIT;
        return std::memcmp(&v6, &loopback, sizeof v6) == 0;
    }
    return false;
}

}  // namespace telkey
