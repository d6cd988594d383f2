#include "bus/bus_names.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/unique_fd.h"
#include "profile/ascii_case.h"

namespace telkey {
namespace {

constexpr std::size_t kMaxNames = kLastBusMessageId - kFirstBusMessageId + 1;
constexpr std::size_t kNamesFileMax = kMaxNames * (kBusNameMax + 1);
// The lock is held only for a read and an append; a holder that keeps it longer is stuck.
constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockRetry = std::chrono::milliseconds(1);
// Names are text: no control characters.
constexpr unsigned char kFirstPrintable = 0x20;
constexpr unsigned char kDelete = 0x7F;

class LockedFile {
  public:
    LockedFile(const std::string& path, int lockOp)
        : fd_(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600)) {
        if (fd_.Get() < 0) return;
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (::flock(fd_.Get(), lockOp | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() >= deadline) {
                fd_.Reset();
                return;
            }
            std::this_thread::sleep_for(kLockRetry);
        }
    }
    int Fd() const { return fd_.Get(); }

  private:
    UniqueFd fd_;  // closing it releases the lock
};

bool IsRegistrableName(std::string_view name) {
    if (name.empty() || name.size() > kBusNameMax) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < kFirstPrintable || byte == kDelete;
    });
}

}  // namespace

BusNames::BusNames(std::string directory) : path_(std::move(directory) + "/names") {}

std::uint32_t BusNames::Find(std::string_view name) const {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (EqualsNoCase(names_[i], name))
            return kFirstBusMessageId + static_cast<std::uint32_t>(i);
    }
    return 0;
}

bool BusNames::Unusable(const std::string& why) {
    problem_ = "The file of message names " + path_ + " cannot be used: " + why +
               ". Remove it while no program that uses the message bus runs (Telkey, "
               "telkey-msg listen, logging programs); it is made anew.";
    return false;
}

// Reads the whole file into names_: one name a line; a last line without its break counts too.
// Every line must be a name of its own, or the numbers of the names after it are in doubt.
bool BusNames::Reload(int fd) {
    std::string bytes;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return Unusable(std::string("it cannot be read (") + std::strerror(errno) + ")");
        }
        if (n == 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
        if (bytes.size() > kNamesFileMax) return Unusable("it is larger than 4 MiB");
    }
    std::vector<std::string> names;
    std::size_t start = 0;
    while (start < bytes.size()) {
        auto end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        const std::string_view line(bytes.data() + start, end - start);
        const std::string number = std::to_string(names.size() + 1);
        if (!IsRegistrableName(line)) return Unusable("line " + number + " is not a message name");
        if (names.size() >= kMaxNames)
            return Unusable("it holds more names than there are identifiers");
        names.emplace_back(line);
        start = end + 1;
    }
    names_ = std::move(names);
    return true;
}

std::uint32_t BusNames::Register(std::string_view name) {
    problem_.clear();
    if (!IsRegistrableName(name)) {
        problem_ = std::string("'")
                       .append(name.substr(0, kBusNameMax))
                       .append("' cannot be a message name");
        return 0;
    }
    if (const auto id = Find(name)) return id;

    LockedFile file(path_, LOCK_EX);
    if (file.Fd() < 0) {
        Unusable("it cannot be opened and locked");
        return 0;
    }
    if (!Reload(file.Fd())) return 0;
    if (const auto id = Find(name)) return id;
    if (names_.size() >= kMaxNames) {
        Unusable("every identifier has been given out");
        return 0;
    }

    const off_t size = ::lseek(file.Fd(), 0, SEEK_END);
    if (size < 0) return 0;
    std::string line;
    if (size > 0) {
        char last = '\n';
        if (::pread(file.Fd(), &last, 1, size - 1) != 1) return 0;
        if (last != '\n') line += '\n';  // close an unfinished last line first
    }
    line += name;
    line += '\n';
    if (::pwrite(file.Fd(), line.data(), line.size(), size) != static_cast<ssize_t>(line.size())) {
        // Undo a partial append so that the lines keep their numbers.
        const std::string reason = std::strerror(errno);
        if (::ftruncate(file.Fd(), size) != 0) return 0;
        Unusable("a name cannot be added (" + reason + ")");
        return 0;
    }
    names_.emplace_back(name);
    return kFirstBusMessageId + static_cast<std::uint32_t>(names_.size() - 1);
}

std::optional<std::string> BusNames::NameOf(std::uint32_t id) {
    if (id < kFirstBusMessageId || id > kLastBusMessageId) return std::nullopt;
    const std::size_t index = id - kFirstBusMessageId;
    if (index >= names_.size()) {
        LockedFile file(path_, LOCK_SH);
        if (file.Fd() < 0 || !Reload(file.Fd())) return std::nullopt;
    }
    if (index >= names_.size()) return std::nullopt;
    return names_[index];
}

}  // namespace telkey
