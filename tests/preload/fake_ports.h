#pragma once
// A serial or parallel port emulated in a plain file, for tests that run the real telkey on the
// devices backend: the preloaded library (fake_ports.cpp) answers the tty and ppdev ioctls on a
// descriptor of such a file, in every process that has it open (Telkey and its guardian share
// the open file), and keeps each change of the output lines with its CLOCK_MONOTONIC time.
#include <sys/mman.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

namespace telkey::test {

constexpr char kFakeTtyMagic[16] = "telkey-fake-tty";
constexpr char kFakeLptMagic[16] = "telkey-fake-lpt";

struct FakePortFile {
    static constexpr int kHistory = 1024;

    char magic[16];
    std::atomic<int> lines;    // tty: TIOCM_DTR and TIOCM_RTS; ppdev: the data byte
    std::atomic<int> cflag;    // tty: the termios c_cflag
    std::atomic<int> changes;  // output changes so far
    struct Change {
        std::atomic<std::int64_t> ns;
        std::atomic<int> lines;
    } history[kHistory];
};

// Creates the file of a fake port with its lines off.
inline bool CreateFakePort(const std::string& path, bool parallel) {
    std::string bytes(sizeof(FakePortFile), '\0');
    std::memcpy(bytes.data(), parallel ? kFakeLptMagic : kFakeTtyMagic, sizeof kFakeTtyMagic);
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(out);
}

}  // namespace telkey::test
