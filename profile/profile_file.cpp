#include "profile/profile_file.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/codepage1251.h"
#include "engine/unique_fd.h"
#include "profile/profile_text.h"

namespace telkey {
namespace {

// A settings or exchange file is small; anything beyond this is not one and is not read whole.
constexpr off_t kProfileFileMax = off_t{256} << 20;
constexpr mode_t kCommonDirMode = 0700;
constexpr mode_t kNewFileMode = 0666;  // less the umask, as any new file
constexpr int kTempNameAttempts = 100;
constexpr std::size_t kTempBaseMax = 100;  // keeps the temporary name within NAME_MAX

enum class LoadResult { kLoaded, kMissing, kUnusable };

// Reads a whole regular file. Never blocks on a FIFO or a device: those are unusable.
LoadResult LoadFile(const std::string& path, std::string& bytes) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (fd.Get() < 0) return errno == ENOENT ? LoadResult::kMissing : LoadResult::kUnusable;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kProfileFileMax) {
        return LoadResult::kUnusable;
    }
    bytes.clear();
    // One byte more than the size, so that the read that finds the end needs no larger buffer.
    bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
    std::size_t got = 0;
    for (;;) {
        if (got == bytes.size()) {
            // The file may have grown since fstat; keep reading to its end, within the limit.
            if (bytes.size() >= static_cast<std::size_t>(kProfileFileMax)) {
                return LoadResult::kUnusable;
            }
            bytes.resize(bytes.size() + 4096);
        }
        const ssize_t n = ::read(fd.Get(), bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return LoadResult::kUnusable;
        }
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return LoadResult::kLoaded;
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseNameOf(const std::string& path) {
    const auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

void MakeDirectories(const std::string& dir) {
    if (dir.empty()) return;
    for (std::size_t pos = dir.find('/', 1); pos != std::string::npos;
         pos = dir.find('/', pos + 1)) {
        ::mkdir(dir.substr(0, pos).c_str(), kCommonDirMode);
    }
    ::mkdir(dir.c_str(), kCommonDirMode);
}

namespace {

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') return home;
    if (const passwd* pw = ::getpwuid(::getuid()); pw != nullptr && pw->pw_dir != nullptr) {
        return pw->pw_dir;
    }
    return "/";
}

// The common directory that bare names resolve to, shared with the logging program.
std::string CommonDirectory() {
    if (const char* dir = std::getenv("TELKEY_COMMON_DIR"); dir != nullptr && *dir != '\0') {
        return dir;
    }
    return UserConfigDirectory();
}

std::string NameInEncoding(std::string_view utf8, ProfileEncoding encoding) {
    return encoding == ProfileEncoding::kCp1251 ? Utf8ToCp1251(utf8) : std::string(utf8);
}

// The file a write goes to: the target of a symbolic link rather than the link itself.
bool WriteTarget(const std::string& path, std::string& target) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) return false;
        target = resolved;
    } else {
        target = path;
    }
    return true;
}

// Replaces `path` with `bytes` through a temporary file in the same directory, so that the file
// is always either the old one or the new one, whole. `old` carries the permissions to keep.
bool ReplaceFile(const std::string& path, std::string_view bytes, const struct stat* old) {
    const std::string dir = DirectoryOf(path);
    const std::string base = BaseNameOf(path).substr(0, kTempBaseMax);
    std::string temp;
    int rawFd = -1;
    for (int attempt = 0; attempt < kTempNameAttempts && rawFd < 0; ++attempt) {
        timespec now{};
        ::clock_gettime(CLOCK_MONOTONIC, &now);
        temp = dir + "/." + base + ".tmp-" + std::to_string(::getpid()) + "-" +
               std::to_string(now.tv_nsec ^ attempt);
        rawFd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                       old != nullptr ? S_IRUSR | S_IWUSR : kNewFileMode);
        if (rawFd < 0 && errno != EEXIST) return false;
    }
    if (rawFd < 0) return false;
    UniqueFd fd(rawFd);
    bool ok = true;
    if (old != nullptr) {
        // Owner first: a change of owner clears set-id bits that the mode then restores.
        if (::fchown(fd.Get(), old->st_uid, old->st_gid) != 0) {
            // Not permitted unless privileged; the file then belongs to the writer.
        }
        ok = ::fchmod(fd.Get(), old->st_mode & 07777) == 0;
    }
    ok = ok && WriteAll(fd.Get(), bytes) && ::fsync(fd.Get()) == 0;
    ok = (::close(fd.Release()) == 0) && ok;
    ok = ok && ::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace

ProfileWriteError::ProfileWriteError(const std::string& name)
    : std::runtime_error("Unable to write to " + name) {}

std::string ResolveProfilePath(std::string_view name) {
    std::string path(name);
    for (char& c : path) {
        if (c == '\\') c = '/';
    }
    if (path.starts_with("./")) return path;
    if (path.find('/') == std::string::npos) {
        const std::string dir = CommonDirectory();
        MakeDirectories(dir);
        return dir + "/" + path;
    }
    return path;
}

ProfileFile::ProfileFile(std::string name) : name_(std::move(name)) {}

ProfileBatch::ProfileBatch(const ProfileFile& file) : name_(file.Name()) {}

void ProfileBatch::Ask(std::string_view section, std::string_view key) {
    asked_.push_back({std::string(section), std::string(key), std::nullopt});
}

void ProfileBatch::Read() {
    for (Asked& asked : asked_) asked.value.reset();
    std::string bytes;
    if (LoadFile(ResolveProfilePath(name_), bytes) != LoadResult::kLoaded) return;
    const ProfileText text = SplitProfileText(bytes);
    std::vector<std::string> names;  // section and key of each, in the file's encoding
    for (const Asked& asked : asked_) {
        names.push_back(NameInEncoding(asked.section, text.encoding));
        names.push_back(NameInEncoding(asked.key, text.encoding));
    }
    std::vector<ProfileLookup> lookups;
    for (std::size_t i = 0; i < asked_.size(); ++i) {
        lookups.push_back({names[2 * i], names[2 * i + 1], std::nullopt});
    }
    FindProfileValues(text.body, lookups);
    for (std::size_t i = 0; i < asked_.size(); ++i) {
        if (const auto raw = lookups[i].value) {
            asked_[i].value = DecodeProfileValue(*raw, text.encoding, kProfileValueMax);
        }
    }
}

std::string ProfileBatch::Value(std::string_view section, std::string_view key,
                                std::string_view defaultValue) const {
    for (const Asked& asked : asked_) {
        if (asked.value && asked.section == section && asked.key == key) return *asked.value;
    }
    std::string value(defaultValue);
    CutUtf8(value, kProfileValueMax);
    return value;
}

std::string ProfileFile::ReadString(std::string_view section, std::string_view key,
                                    std::string_view defaultValue) const {
    ProfileBatch batch(*this);
    batch.Ask(section, key);
    batch.Read();
    return batch.Value(section, key, defaultValue);
}

void ProfileFile::WriteString(std::string_view section, std::string_view key,
                              std::string_view value) {
    if (!IsWritableSectionName(section) || !IsWritableKeyName(key)) throw ProfileWriteError(name_);
    std::string path;
    if (!WriteTarget(ResolveProfilePath(name_), path)) throw ProfileWriteError(name_);

    std::string bytes;
    struct stat old {};
    const bool exists = ::stat(path.c_str(), &old) == 0;
    if (exists) {
        // The rename would replace even a read-only file; such a file counts as unwritable.
        if (!S_ISREG(old.st_mode) ||
            ::faccessat(AT_FDCWD, path.c_str(), R_OK | W_OK, AT_EACCESS) != 0 ||
            LoadFile(path, bytes) != LoadResult::kLoaded) {
            throw ProfileWriteError(name_);
        }
    } else if (errno != ENOENT) {
        throw ProfileWriteError(name_);
    }

    const ProfileText text = SplitProfileText(bytes);
    std::string body = SetProfileValue(text.body, NameInEncoding(section, text.encoding),
                                       NameInEncoding(key, text.encoding),
                                       EncodeProfileValue(value, text.encoding));
    if (text.encoding == ProfileEncoding::kCp1251) KeepCp1251(body);
    const std::string updated = std::string(text.bom) + body;
    if (!ReplaceFile(path, updated, exists ? &old : nullptr)) throw ProfileWriteError(name_);
}

std::string UserConfigDirectory() {
    if (const char* config = std::getenv("XDG_CONFIG_HOME");
        config != nullptr && config[0] == '/') {
        return std::string(config) + "/telkey";
    }
    return HomeDirectory() + "/.config/telkey";
}

}  // namespace telkey
