#include "exchange/pty_link.h"

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace telkey {

namespace {

constexpr mode_t kFolderMode = 0700;
constexpr mode_t kSlaveMode = 0600;
constexpr std::uint32_t kOpenEvents = IN_OPEN | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE;

std::string Errno(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The folder of `path`, created with its parents where missing.
bool MakeFolder(const std::string& path, std::string& error) {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    const std::string folder = path.substr(0, slash);
    struct stat info {};
    if (::stat(folder.c_str(), &info) == 0) {
        if (S_ISDIR(info.st_mode)) return true;
        error = folder + " is not a folder";
        return false;
    }
    if (!MakeFolder(folder, error)) return false;
    if (::mkdir(folder.c_str(), kFolderMode) != 0 && errno != EEXIST) {
        error = Errno("cannot create " + folder);
        return false;
    }
    return true;
}

}  // namespace

std::string DefaultWinkeyerLink() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime != nullptr && runtime[0] == '/') return std::string(runtime) + "/telkey/winkeyer";
    return "/tmp/telkey-" + std::to_string(::getuid()) + "/winkeyer";
}

PtyLink::~PtyLink() {
    Close();
}

bool PtyLink::Open(const std::string& linkPath, std::string& error) {
    Close();
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (master_ < 0) {
        error = Errno("cannot open a pseudo-terminal");
        return false;
    }
    std::array<char, PATH_MAX> name{};
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0 ||
        ::ptsname_r(master_, name.data(), name.size()) != 0) {
        error = Errno("cannot set up the pseudo-terminal");
        Close();
        return false;
    }
    slavePath_ = name.data();
    slave_ = ::open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave_ < 0 || ::fchmod(slave_, kSlaveMode) != 0) {
        error = Errno("cannot open " + slavePath_);
        Close();
        return false;
    }
    // Bytes pass unchanged until the program sets the line as it likes.
    termios raw{};
    if (::tcgetattr(slave_, &raw) == 0) {
        ::cfmakeraw(&raw);
        ::tcsetattr(slave_, TCSANOW, &raw);
    }
    watch_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch_ < 0 || ::inotify_add_watch(watch_, slavePath_.c_str(), kOpenEvents) < 0) {
        error = Errno("cannot watch " + slavePath_);
        Close();
        return false;
    }
    if (!MakeFolder(linkPath, error)) {
        Close();
        return false;
    }
    struct stat info {};
    if (::lstat(linkPath.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        error = linkPath + " exists and is no link; remove it or choose another path";
        Close();
        return false;
    }
    // Put in place at once, over a link a run that ended badly left.
    const std::string fresh = linkPath + ".new";
    ::unlink(fresh.c_str());
    if (::symlink(slavePath_.c_str(), fresh.c_str()) != 0 ||
        ::rename(fresh.c_str(), linkPath.c_str()) != 0) {
        error = Errno("cannot make the link " + linkPath);
        ::unlink(fresh.c_str());
        Close();
        return false;
    }
    linkPath_ = linkPath;
    openers_ = 0;
    return true;
}

void PtyLink::Close() {
    if (!linkPath_.empty()) {
        // Only the link that still points at this pseudo-terminal.
        std::array<char, PATH_MAX> target{};
        const ssize_t n = ::readlink(linkPath_.c_str(), target.data(), target.size() - 1);
        if (n > 0 && std::string(target.data(), static_cast<std::size_t>(n)) == slavePath_) {
            ::unlink(linkPath_.c_str());
        }
        linkPath_.clear();
    }
    for (int* fd : {&watch_, &slave_, &master_}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    slavePath_.clear();
    openers_ = 0;
}

std::size_t PtyLink::Read(std::uint8_t* bytes, std::size_t size) {
    if (master_ < 0) return 0;
    const ssize_t n = ::read(master_, bytes, size);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
}

bool PtyLink::Write(const std::uint8_t* bytes, std::size_t size) {
    if (master_ < 0) return false;
    while (size > 0) {
        const ssize_t n = ::write(master_, bytes, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

PtyLink::OpenEvents PtyLink::TakeOpenEvents() {
    OpenEvents events;
    alignas(inotify_event) std::array<char, 4096> buffer{};
    for (;;) {
        const ssize_t n = ::read(watch_, buffer.data(), buffer.size());
        if (n <= 0) break;
        for (ssize_t at = 0; at < n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(buffer.data() + at);
            if ((event->mask & IN_OPEN) != 0) {
                ++openers_;
                ++events.opened;
            }
            if ((event->mask & (IN_CLOSE_WRITE | IN_CLOSE_NOWRITE)) != 0 && openers_ > 0) {
                --openers_;
                ++events.closed;
            }
            at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
        }
    }
    return events;
}

void PtyLink::DropUnread() {
    if (slave_ >= 0) ::tcflush(slave_, TCIFLUSH);
}

}  // namespace telkey
