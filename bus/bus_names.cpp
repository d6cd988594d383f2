#include "bus/bus_names.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "profile/ascii_case.h"

namespace telkey {
namespace {

constexpr std::size_t kMaxNames = kLastBusMessageId - kFirstBusMessageId + 1;
constexpr std::size_t kNamesFileMax = kMaxNames * (kBusNameMax + 1);
// The lock is held only for a read and an append; a holder that keeps it longer is stuck.
constexpr auto kLockWait = std::chrono::seconds(5);
constexpr auto kLockRetry = std::chrono::milliseconds(1);

class LockedFile {
  public:
    LockedFile(const std::string& path, int lockOp) {
        fd_ = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY, 0600);
        if (fd_ < 0) return;
        const auto deadline = std::chrono::steady_clock::now() + kLockWait;
        while (::flock(fd_, lockOp | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) ||
                std::chrono::steady_clock::now() >= deadline) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
            std::this_thread::sleep_for(kLockRetry);
        }
    }
    ~LockedFile() {
        if (fd_ >= 0) ::close(fd_);  // also releases the lock
    }
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;
    int Fd() const { return fd_; }

  private:
    int fd_ = -1;
};

bool IsRegistrableName(std::string_view name) {
    return !name.empty() && name.size() <= kBusNameMax &&
           name.find_first_of(std::string_view("\n\r\0", 3)) == std::string_view::npos;
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

// Reads the whole file into names_: one name a line; a last line without its break counts too.
bool BusNames::Reload(int fd) {
    std::string bytes;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(bytes.size()));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0 || bytes.size() >= kNamesFileMax) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    names_.clear();
    std::size_t start = 0;
    while (start < bytes.size() && names_.size() < kMaxNames) {
        auto end = bytes.find('\n', start);
        if (end == std::string::npos) end = bytes.size();
        names_.emplace_back(bytes, start, end - start);
        start = end + 1;
    }
    return true;
}

std::uint32_t BusNames::Register(std::string_view name) {
    if (!IsRegistrableName(name)) return 0;
    if (const auto id = Find(name)) return id;

    LockedFile file(path_, LOCK_EX);
    if (file.Fd() < 0 || !Reload(file.Fd())) return 0;
    if (const auto id = Find(name)) return id;
    if (names_.size() >= kMaxNames) return 0;

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
        if (::ftruncate(file.Fd(), size) != 0) return 0;
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
