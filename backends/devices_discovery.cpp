#include "backends/devices_discovery.h"

#include <fcntl.h>
#include <grp.h>
#include <linux/input.h>
#include <linux/ppdev.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <system_error>

namespace telkey {

namespace fs = std::filesystem;

namespace {

std::vector<fs::directory_entry> Entries(const fs::path& dir) {
    std::vector<fs::directory_entry> entries;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        entries.push_back(*it);
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path() < b.path(); });
    return entries;
}

// Where a link points, made absolute and tidy; the path itself when it is no link.
std::string Target(const fs::path& path) {
    std::error_code ec;
    const fs::path target = fs::read_symlink(path, ec);
    if (ec) return path.lexically_normal().string();
    return (target.is_absolute() ? target : path.parent_path() / target)
        .lexically_normal()
        .string();
}

bool StartsWith(const std::string& text, std::string_view prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string Holders(const std::string& path, const DeviceRoots& roots) {
    const std::vector<std::string> programs = ProgramsHolding(path, roots);
    std::string text;
    for (const std::string& program : programs) {
        if (!text.empty()) text += ", ";
        text += program;
    }
    return text;
}

std::string Unplugged(const std::string& path, std::string_view what) {
    return path + " is not there: the " + std::string(what) +
           " is unplugged, or has another name now. Plug it in and press Refresh.";
}

std::string GroupFix(const std::string& path, std::string_view group) {
    return "No permission to use " + path + ". Join the " + std::string(group) +
           " group: sudo usermod -aG " + std::string(group) + " $USER, then log out and in again.";
}

std::string UserName(uid_t uid) {
    const passwd* user = ::getpwuid(uid);
    return user != nullptr ? user->pw_name : "user " + std::to_string(uid);
}

// The group whose members may use the device with `access` (S_IRGRP, S_IWGRP), or "" when
// joining a group cannot help: only the owner may, or the group is root's.
std::string UsefulGroup(const struct stat& st, mode_t access) {
    if (st.st_gid == 0 || (st.st_mode & access) != access) return {};
    const struct group* g = ::getgrgid(st.st_gid);
    return g != nullptr ? g->gr_name : std::string();
}

// No permission: join the group that may use the device, or, when no group may, say whose it
// is. `group` is the usual one, for a device whose owner cannot be found out.
std::string PermissionFix(DeviceLayer& layer, const std::string& path, std::string_view group,
                          mode_t access) {
    struct stat st {};
    if (layer.Stat(path.c_str(), &st) != 0) return GroupFix(path, group);
    if (const std::string useful = UsefulGroup(st, access); !useful.empty()) {
        return GroupFix(path, useful);
    }
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    const struct group* g = ::getgrgid(st.st_gid);
    return "No permission to use " + path + ": it belongs to " + UserName(st.st_uid) + " (group " +
           (g != nullptr ? g->gr_name : std::to_string(st.st_gid)) + ", mode " + mode +
           ") and no group may use it, so joining a group will not help. Only its owner "
           "can open it, or a udev rule that gives it to you (see " +
           kHardwareGuideWords + ").";
}

// A built-in serial port that is there: the kernel says which UART it has (0 for none).
bool HasUart(const DeviceRoots& roots, const std::string& name) {
    std::ifstream type(fs::path(roots.sys) / "class" / "tty" / name / "type");
    int uart = 0;
    return static_cast<bool>(type >> uart) && uart != 0;
}

std::string SerialProblemText(DeviceLayer& layer, int error, const std::string& path,
                              const DeviceRoots& roots, DeviceProblem& problem) {
    switch (-error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
        case EIO:
            problem = DeviceProblem::Unplugged;
            return Unplugged(path, "adapter");
        case EACCES:
        case EPERM:
            problem = DeviceProblem::NoPermission;
            return PermissionFix(layer, path, "dialout", S_IRGRP | S_IWGRP);
        case EBUSY: {
            problem = DeviceProblem::Busy;
            const std::string holders = Holders(path, roots);
            return path + " is in use by " +
                   (holders.empty() ? std::string("another program") : holders) +
                   ". Close that program, or tick \"Shared\" if it only talks to the radio "
                   "over this port (rig control), so that both can use it.";
        }
        case ENOTTY:
        case EINVAL:
            problem = DeviceProblem::NotModemLines;
            return path +
                   " is not a serial port with modem lines (DTR, RTS, CTS, DSR). Choose the "
                   "adapter's port as listed under /dev/serial/by-id/.";
        default:
            problem = DeviceProblem::Other;
            return "Cannot use " + path + ": " + ErrorText(error) + ".";
    }
}

DeviceCheck CheckSerial(DeviceLayer& layer, const std::string& path, bool shared,
                        const DeviceRoots& roots) {
    DeviceCheck check;
    const int fd = layer.Open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int error = fd < 0 ? fd : 0;
    if (fd >= 0) {
        int status = 0;
        if (const int r = layer.Ioctl(fd, TIOCMGET, &status); r < 0) error = r;
        layer.Close(fd);
    }
    if (error == 0 && !shared) {
        // Telkey holds the port alone unless told to share it.
        if (const std::string holders = Holders(path, roots); !holders.empty()) {
            check.problem = DeviceProblem::Busy;
            check.message = path + " is also open in " + holders +
                            ". Tick \"Shared\" so that both can use it, or close that program.";
        }
        return check;
    }
    if (error != 0) check.message = SerialProblemText(layer, error, path, roots, check.problem);
    return check;
}

DeviceCheck CheckParallel(DeviceLayer& layer, const std::string& path, const DeviceRoots& roots) {
    DeviceCheck check;
    const int fd = layer.Open(path.c_str(), O_RDWR);
    int error = fd;
    if (fd >= 0) {
        error = layer.Ioctl(fd, PPCLAIM, nullptr);
        if (error >= 0) layer.Ioctl(fd, PPRELEASE, nullptr);
        layer.Close(fd);
    }
    if (error >= 0) return check;
    switch (-error) {
        case ENOENT:
        case ENODEV:
        case ENXIO:
            check.problem = DeviceProblem::Unplugged;
            check.message = path +
                            " is not there. Load the parallel port driver (sudo modprobe "
                            "ppdev), plug the adapter in and press Refresh.";
            break;
        case EACCES:
        case EPERM:
            check.problem = DeviceProblem::NoPermission;
            check.message = PermissionFix(layer, path, "lp", S_IRGRP | S_IWGRP);
            break;
        case EBUSY: {
            check.problem = DeviceProblem::Busy;
            const std::string holders = Holders(path, roots);
            check.message = path + " is in use by " +
                            (holders.empty() ? std::string("the printer driver (lp)") : holders) +
                            ". Close that program, or unload the printer driver: sudo rmmod lp.";
            break;
        }
        case ENOTTY:
        case EINVAL:
            check.problem = DeviceProblem::NotParallel;
            check.message = path + " is not a parallel port. Choose a /dev/parport device.";
            break;
        default:
            check.problem = DeviceProblem::Other;
            check.message = "Cannot use " + path + ": " + ErrorText(error) + ".";
    }
    return check;
}

DeviceCheck CheckInput(DeviceLayer& layer, const std::string& path, const DeviceRoots& roots) {
    DeviceCheck check;
    const int fd = layer.Open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        switch (-fd) {
            case ENOENT:
            case ENODEV:
            case ENXIO:
                check.problem = DeviceProblem::Unplugged;
                check.message = Unplugged(path, "paddle adapter");
                break;
            case EACCES:
            case EPERM: {
                check.problem = DeviceProblem::NoPermission;
                struct stat st {};
                std::string group = "input";
                if (layer.Stat(path.c_str(), &st) == 0) {
                    group = UsefulGroup(st, S_IRGRP);
                    if (group.empty()) {
                        check.message = PermissionFix(layer, path, "input", S_IRGRP);
                        break;
                    }
                }
                check.message =
                    "No permission to read " + path +
                    ". Give yourself this one device with a udev rule (see the hardware "
                    "guide), or join the " +
                    group + " group: sudo usermod -aG " + group +
                    " $USER, then log out and in again (that group can read every keyboard).";
                break;
            }
            default:
                check.problem = DeviceProblem::Other;
                check.message = "Cannot use " + path + ": " + ErrorText(fd) + ".";
        }
        return check;
    }
    std::array<unsigned char, KEY_MAX / 8 + 1> keys{};
    if (layer.Ioctl(fd, EVIOCGBIT(EV_KEY, keys.size()), keys.data()) < 0) {
        check.problem = DeviceProblem::NotInput;
        check.message = path +
                        " is not a paddle adapter or joystick (no keys or buttons). Choose "
                        "one from the list under /dev/input/by-id/.";
    } else if (layer.Ioctl(fd, EVIOCGRAB, reinterpret_cast<void*>(1)) == -EBUSY) {
        check.problem = DeviceProblem::Busy;
        const std::string holders = Holders(path, roots);
        check.message = path + " is held by " +
                        (holders.empty() ? std::string("another program") : holders) +
                        ". Close that program.";
    } else {
        layer.Ioctl(fd, EVIOCGRAB, nullptr);
    }
    layer.Close(fd);
    return check;
}

}  // namespace

std::vector<FoundDevice> FindSerialDevices(const DeviceRoots& roots) {
    std::vector<FoundDevice> found;
    std::vector<std::string> linked;
    for (const auto& entry : Entries(fs::path(roots.dev) / "serial" / "by-id")) {
        const std::string target = Target(entry.path());
        linked.push_back(target);
        found.push_back({entry.path().string(), entry.path().filename().string() + " (" +
                                                    fs::path(target).filename().string() + ")"});
    }
    for (const auto& entry : Entries(roots.dev)) {
        const std::string name = entry.path().filename().string();
        if (!StartsWith(name, "ttyUSB") && !StartsWith(name, "ttyACM")) continue;
        const std::string path = entry.path().lexically_normal().string();
        if (std::find(linked.begin(), linked.end(), path) != linked.end()) continue;
        found.push_back({path, name});
    }
    for (const auto& entry : Entries(roots.dev)) {
        const std::string name = entry.path().filename().string();
        if (StartsWith(name, "ttyS") && HasUart(roots, name)) {
            found.push_back({entry.path().lexically_normal().string(), name});
        }
    }
    return found;
}

std::vector<FoundDevice> FindParallelDevices(const DeviceRoots& roots) {
    std::vector<FoundDevice> found;
    for (const auto& entry : Entries(roots.dev)) {
        const std::string name = entry.path().filename().string();
        if (StartsWith(name, "parport")) found.push_back({entry.path().string(), name});
    }
    return found;
}

std::vector<FoundDevice> FindInputDevices(const DeviceRoots& roots) {
    std::vector<FoundDevice> found;
    for (const auto& entry : Entries(fs::path(roots.dev) / "input" / "by-id")) {
        const std::string name = entry.path().filename().string();
        // The event interface only: the joystick (jsN) and mouse nodes speak other protocols.
        if (name.find("event") == std::string::npos) continue;
        found.push_back({entry.path().string(), name});
    }
    return found;
}

namespace {

// The parent's pid as /proc/PID/status tells it, "" when it cannot be read.
std::string ParentPid(const fs::path& process) {
    static constexpr std::string_view kParent = "PPid:";
    std::ifstream status(process / "status");
    for (std::string line; std::getline(status, line);) {
        if (line.compare(0, kParent.size(), kParent) != 0) continue;
        const auto first = line.find_first_not_of(" \t", kParent.size());
        return first == std::string::npos ? std::string() : line.substr(first);
    }
    return {};
}

}  // namespace

std::vector<std::string> ProgramsHolding(const std::string& path, const DeviceRoots& roots) {
    std::vector<std::string> programs;
    const std::string wanted = Target(path);
    const std::string self = std::to_string(::getpid());
    for (const auto& process : Entries(roots.proc)) {
        const std::string pid = process.path().filename().string();
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), ::isdigit) || pid == self) {
            continue;
        }
        // Telkey's own children (its guardian holds the very same devices) are not others.
        if (ParentPid(process.path()) == self) continue;
        bool holds = false;
        for (const auto& fd : Entries(process.path() / "fd")) {
            std::error_code ec;
            const fs::path target = fs::read_symlink(fd.path(), ec);
            if (!ec && target.lexically_normal().string() == wanted) {
                holds = true;
                break;
            }
        }
        if (!holds) continue;
        std::ifstream comm(process.path() / "comm");
        std::string name;
        std::getline(comm, name);
        programs.push_back((name.empty() ? std::string("a program") : name) + " (pid " + pid + ")");
    }
    return programs;
}

DeviceCheck CheckDevice(DeviceLayer& layer, DeviceKind kind, const std::string& path, bool shared,
                        const DeviceRoots& roots) {
    switch (kind) {
        case DeviceKind::Serial:
            return CheckSerial(layer, path, shared, roots);
        case DeviceKind::Parallel:
            return CheckParallel(layer, path, roots);
        case DeviceKind::Input:
            return CheckInput(layer, path, roots);
    }
    return {};
}

}  // namespace telkey
