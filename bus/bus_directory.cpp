#include "bus/bus_directory.h"

#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace telkey {
namespace {

constexpr mode_t kBusDirMode = 0700;
constexpr mode_t kParentDirMode = 0755;
// Room left in a socket address for the participant's own file name.
constexpr std::size_t kSocketNameRoom = 48;

std::string Octal(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

void MakeParents(const std::string& dir) {
    for (std::size_t pos = dir.find('/', 1); pos != std::string::npos;
         pos = dir.find('/', pos + 1)) {
        ::mkdir(dir.substr(0, pos).c_str(), kParentDirMode);
    }
}

}  // namespace

std::string DefaultBusDirectory() {
    if (const char* dir = std::getenv("TELKEY_BUS_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        runtime != nullptr && runtime[0] == '/') {
        return std::string(runtime) + "/telkey-bus";
    }
    return "/tmp/telkey-bus-" + std::to_string(::geteuid());
}

std::string OpenBusDirectory(const std::string& dir) {
    const std::string where = "the message bus directory " + dir;
    if (dir.empty()) throw BusError("the message bus directory is an empty name");
    if (dir.size() + kSocketNameRoom > sizeof(sockaddr_un{}.sun_path)) {
        throw BusError(where +
                       " is too long a path for a socket; set TELKEY_BUS_DIR to a "
                       "shorter one");
    }
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0) {
        if (errno != ENOENT) throw BusError("cannot reach " + where + ": " + std::strerror(errno));
        MakeParents(dir);
        if (::mkdir(dir.c_str(), kBusDirMode) != 0 && errno != EEXIST) {
            throw BusError("cannot create " + where + ": " + std::strerror(errno));
        }
        if (::lstat(dir.c_str(), &st) != 0) {
            throw BusError("cannot reach " + where + ": " + std::strerror(errno));
        }
    }
    if (!S_ISDIR(st.st_mode)) throw BusError(where + " is not a directory");
    if (st.st_uid != ::geteuid()) {
        throw BusError(where + " belongs to another user (uid " + std::to_string(st.st_uid) +
                       "); set TELKEY_BUS_DIR to a directory of your own");
    }
    if ((st.st_mode & 077) != 0) {
        throw BusError(where + " is open to other users (mode " + Octal(st.st_mode) +
                       "); make it private with: chmod 700 " + dir);
    }
    return dir;
}

}  // namespace telkey
