#include "exchange/udp_socket_owner.h"

#include <charconv>
#include <cstring>
#include <fstream>
#include <sstream>

namespace telkey {
namespace {

constexpr std::size_t kV4HexDigits = 8;
constexpr std::size_t kV6HexDigits = 32;
constexpr std::size_t kWordHexDigits = 8;
// Fields of a table line: "sl local_address rem_address st tx:rx tr:when retrnsmt uid ...".
constexpr int kLocalField = 1;
constexpr int kUidField = 7;

bool ParseHex32(std::string_view text, std::uint32_t& value) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

// The kernel prints each 32-bit word of the address as the number its bytes form in memory,
// so copying the number back into memory restores the bytes in network order.
bool ParseAddress(std::string_view hex, std::array<std::uint8_t, 16>& address) {
    address = {};
    if (hex.size() == kV4HexDigits) {
        std::uint32_t word = 0;
        if (!ParseHex32(hex, word)) return false;
        address[10] = address[11] = 0xFF;
        std::memcpy(address.data() + 12, &word, sizeof word);
        return true;
    }
    if (hex.size() != kV6HexDigits) return false;
    for (std::size_t i = 0; i < 4; ++i) {
        std::uint32_t word = 0;
        if (!ParseHex32(hex.substr(i * kWordHexDigits, kWordHexDigits), word)) return false;
        std::memcpy(address.data() + i * sizeof word, &word, sizeof word);
    }
    return true;
}

bool IsWildcard(const std::array<std::uint8_t, 16>& address) {
    static const std::array<std::uint8_t, 16> any6{};
    std::array<std::uint8_t, 16> any4{};
    any4[10] = any4[11] = 0xFF;
    return address == any6 || address == any4;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

UdpEndpoint UdpEndpointV4(std::uint32_t hostOrderAddress, std::uint16_t port) {
    UdpEndpoint e;
    e.address[10] = e.address[11] = 0xFF;
    for (int i = 0; i < 4; ++i) {
        e.address[12 + i] = static_cast<std::uint8_t>(hostOrderAddress >> (24 - 8 * i));
    }
    e.port = port;
    return e;
}

std::vector<std::uint32_t> UdpOwnersInTable(std::string_view table, const UdpEndpoint& from) {
    std::vector<std::uint32_t> owners;
    std::istringstream lines{std::string(table)};
    std::string line;
    std::getline(lines, line);  // the heading
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string field;
        std::string local;
        std::string uid;
        for (int i = 0; fields >> field && i <= kUidField; ++i) {
            if (i == kLocalField) local = field;
            if (i == kUidField) uid = field;
        }
        const auto colon = local.find(':');
        if (colon == std::string::npos || uid.empty()) continue;
        std::array<std::uint8_t, 16> address{};
        std::uint32_t port = 0;
        std::uint32_t owner = 0;
        if (!ParseAddress(std::string_view(local).substr(0, colon), address) ||
            !ParseHex32(std::string_view(local).substr(colon + 1), port)) {
            continue;
        }
        const auto [end, ec] = std::from_chars(uid.data(), uid.data() + uid.size(), owner);
        if (ec != std::errc() || end != uid.data() + uid.size()) continue;
        if (port != from.port) continue;
        if (address == from.address || IsWildcard(address)) owners.push_back(owner);
    }
    return owners;
}

std::vector<std::uint32_t> UdpSocketOwners(const UdpEndpoint& from, const std::string& procNet) {
    std::vector<std::uint32_t> owners = UdpOwnersInTable(ReadAll(procNet + "/udp"), from);
    const std::vector<std::uint32_t> v6 = UdpOwnersInTable(ReadAll(procNet + "/udp6"), from);
    owners.insert(owners.end(), v6.begin(), v6.end());
    return owners;
}

}  // namespace telkey
