// What the cwdaemon listener's sender check costs. First the check of one datagram (the kernel's
// socket list for its port, and the probe whether its port is lent) with 0 to 16000 other UDP
// sockets open, beside a read of /proc/net/udp and udp6 for comparison. Then how often a check
// of this user's own datagrams ends too late to be believed, on a quiet machine and with busy
// processes on every core, from one socket and each from a new one. Then the real program keying a
// text over cwdaemon, once in quiet and under floods of refused datagrams from 3000 sockets (500 a
// second up to as fast as one sender can): the first element's delay after the request, the worst
// element error, and the refusals; the text comes from the socket the client used before, as a
// logger keeps one. Root floods as user nobody; another user floods from sockets that lend their
// port, which are refused too. Prints figures; asserts nothing.
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <csignal>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "exchange/cwdaemon_receiver.h"
#include "exchange/udp_socket_owner.h"
#include "support/telkey_process.h"
#include "support/udp_socket_as.h"

namespace {

using namespace telkey;
using namespace std::chrono_literals;
using test::SendUdp;
using test::UdpPortOf;

constexpr std::uint32_t kNobody = 65534;
constexpr int kChecks = 2000;
constexpr int kFloodSockets = 3000;
// Refused datagrams a second; 0: as fast as one sender can.
constexpr int kFloodRates[] = {500, 10000, 20000, 30000, 50000, 0};
constexpr auto kFloodTime = 6s;
constexpr auto kTextIntoFlood = 2s;
// How long a text keyed under a flood may take before it counts as lost.
constexpr auto kTextBound = 25s;
constexpr int kOwnDatagrams = 10000;
constexpr auto kOwnSpacing = 500us;
constexpr char kText[] = "PARIS PARIS PARIS";
constexpr std::size_t kTextElements = 42;  // .--. .- .-. .. ... three times

double Us(std::chrono::steady_clock::duration d) {
    return std::chrono::duration<double, std::micro>(d).count();
}

void Report(const char* what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    std::printf("  %-44s p50 %8.1f  p95 %8.1f  max %8.1f us\n", what, us[us.size() / 2],
                us[us.size() * 95 / 100], us.back());
}

template <class F>
std::vector<double> Timed(int n, F&& f) {
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        us.push_back(Us(std::chrono::steady_clock::now() - start));
    }
    return us;
}

void CheckCost(bool root) {
    const auto self = static_cast<std::uint32_t>(::geteuid());
    const std::uint32_t other = root ? kNobody : self;
    std::printf("sender check per datagram (%s):\n",
                root ? "other sockets of user nobody" : "other sockets of this user");
    std::vector<int> table;
    UdpSocketTable sockets;
    for (const int size : {0, 2000, 8000, 16000}) {
        while (static_cast<int>(table.size()) < size) {
            const int fd = test::UdpSocketAs(other, 0, false);
            if (fd < 0) {
                std::printf(" no more sockets (%zu open): %s\n", table.size(),
                            std::strerror(errno));
                break;
            }
            table.push_back(fd);
        }
        std::printf(" %d other UDP sockets open:\n", size);
        const int lent = test::UdpSocketAs(self, 0, true);
        const int own = test::UdpSocketAs(self, 0, false);
        const int foreign = test::UdpSocketAs(other, 0, false);
        const UdpEndpoint fromLent = UdpEndpointV4(INADDR_LOOPBACK, UdpPortOf(lent));
        const UdpEndpoint fromOwn = UdpEndpointV4(INADDR_LOOPBACK, UdpPortOf(own));
        const UdpEndpoint fromForeign = UdpEndpointV4(INADDR_LOOPBACK, UdpPortOf(foreign));
        const UdpEndpoint at = UdpEndpointV4(INADDR_LOOPBACK, 6789);
        if (root) {
            Report("refused: another user's socket",
                   Timed(kChecks, [&] { CheckUdpSender(sockets, fromForeign, at, self); }));
        }
        Report("refused: own socket lending its port",
               Timed(kChecks, [&] { CheckUdpSender(sockets, fromLent, at, self); }));
        Report("accepted: own socket",
               Timed(kChecks, [&] { CheckUdpSender(sockets, fromOwn, at, self); }));
        Report("(the port's sockets listed, for a log line)",
               Timed(size >= 8000 ? 200 : kChecks, [&] {
                   std::vector<UdpSocketInfo> list;
                   std::string error;
                   sockets.OnPort(UdpPortOf(lent), list, error);
               }));
        Report("(a read of /proc/net/udp and udp6)", Timed(size >= 8000 ? 20 : 200, [] {
                   for (const char* path : {"/proc/net/udp", "/proc/net/udp6"}) {
                       std::ifstream in(path);
                       std::ostringstream text;
                       text << in.rdbuf();
                   }
               }));
        for (int fd : {lent, own, foreign}) ::close(fd);
    }
    for (int fd : table) ::close(fd);
}

// Sends refused datagrams at `perSecond` (0: flat out) for kFloodTime from its own sockets, in a
// child process, a millisecond's worth at a time.
pid_t StartFlood(std::uint16_t port, bool root, int perSecond, std::size_t* count) {
    const pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (root && (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0)) ::_exit(3);
    std::vector<int> fds;
    for (int i = 0; i < kFloodSockets; ++i) fds.push_back(test::UdpSocketAs(::geteuid(), 0, !root));
    const auto start = std::chrono::steady_clock::now();
    std::size_t sent = 0;
    for (auto tick = start; tick < start + kFloodTime; tick += 1ms) {
        if (perSecond > 0) {
            std::this_thread::sleep_until(tick);
            const auto due = static_cast<std::size_t>(
                perSecond * std::chrono::duration<double>(tick + 1ms - start).count());
            for (; sent < due; ++sent) SendUdp(fds[sent % fds.size()], port, "5", 1);
        } else {
            while (std::chrono::steady_clock::now() < tick + 1ms) {
                SendUdp(fds[sent++ % fds.size()], port, "5", 1);
            }
        }
    }
    *count = sent;
    ::_exit(0);
}

// Spins on every core until `stop`.
std::vector<pid_t> StartBusy() {
    std::vector<pid_t> busy;
    for (unsigned i = 0; i < std::max(2U, std::thread::hardware_concurrency()); ++i) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            volatile unsigned long n = 0;
            for (;;) n = n + 1;
        }
        busy.push_back(pid);
    }
    return busy;
}

// How long datagrams wait from their arrival (the kernel's stamp) until a reader thread like the
// listener's has them, at a steady pace: the share of the bound for the check that is spent
// before it starts.
void ArrivalWaits(bool loaded) {
    const std::vector<pid_t> busy = loaded ? StartBusy() : std::vector<pid_t>{};
    const int reader = test::UdpSocketAs(::geteuid(), 0, false);
    const int on = 1;
    ::setsockopt(reader, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    std::vector<double> waitsMs;
    std::thread thread([&] {
        while (static_cast<int>(waitsMs.size()) < kOwnDatagrams) {
            pollfd p{reader, POLLIN, 0};
            if (::poll(&p, 1, 2000) <= 0) break;
            char byte = 0;
            iovec iov{&byte, 1};
            alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
            msghdr h{};
            h.msg_iov = &iov;
            h.msg_iovlen = 1;
            h.msg_control = control;
            h.msg_controllen = sizeof control;
            if (::recvmsg(reader, &h, MSG_DONTWAIT) < 0) continue;
            const cmsghdr* c = CMSG_FIRSTHDR(&h);
            if (c == nullptr || c->cmsg_type != SCM_TIMESTAMPNS) continue;
            timespec stamp{};
            std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
            const std::int64_t arrival = std::int64_t{stamp.tv_sec} * 1'000'000'000 + stamp.tv_nsec;
            waitsMs.push_back(static_cast<double>(RealtimeNowNs() - arrival) / 1e6);
        }
    });
    const int sender = test::UdpSocketAs(::geteuid(), 0, false);
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kOwnDatagrams; ++i) {
        std::this_thread::sleep_until(start + i * kOwnSpacing);
        SendUdp(sender, UdpPortOf(reader), "e", 1);
    }
    thread.join();
    for (const pid_t pid : busy) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ::close(sender);
    ::close(reader);
    std::sort(waitsMs.begin(), waitsMs.end());
    const auto over = [&](double ms) {
        return waitsMs.end() - std::upper_bound(waitsMs.begin(), waitsMs.end(), ms);
    };
    if (waitsMs.empty()) return;
    std::printf(
        "  %-28s p50 %.3f  p99 %.3f  p99.9 %.3f  max %.1f ms; over 2 ms %td, 5 ms %td, 10 ms "
        "%td, 20 ms %td of %zu\n",
        loaded ? "with a busy process a core:" : "quiet:", waitsMs[waitsMs.size() / 2],
        waitsMs[waitsMs.size() * 99 / 100], waitsMs[waitsMs.size() * 999 / 1000], waitsMs.back(),
        over(2), over(5), over(10), over(20), waitsMs.size());
}

// How many of this user's datagrams, sent at a steady pace from one socket or each from a new
// one (kept open), the reader refuses as checked too late (with the real clock).
void LateOwnChecks(bool loaded, bool newSockets) {
    const std::vector<pid_t> busy = loaded ? StartBusy() : std::vector<pid_t>{};
    CwdaemonReceiver receiver;
    const sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    std::string error;
    if (!receiver.Bind(reinterpret_cast<const sockaddr*>(&at), sizeof at, false, error)) {
        std::printf("late checks: %s\n", error.c_str());
        return;
    }
    receiver.Start([] {});
    std::vector<int> fds{test::UdpSocketAs(::geteuid(), 0, false)};
    const auto start = std::chrono::steady_clock::now();
    std::size_t accepted = 0;
    std::vector<std::string> lines;
    for (int i = 0; i < kOwnDatagrams; ++i) {
        std::this_thread::sleep_until(start + i * kOwnSpacing);
        if (newSockets && i > 0) fds.push_back(test::UdpSocketAs(::geteuid(), 0, false));
        SendUdp(fds.back(), receiver.LocalPort(), "e", 1);
        for (const CwdaemonReceived& item : receiver.Take(1000)) {
            if (item.logLine.empty()) {
                ++accepted;
            } else if (lines.size() < 3) {
                lines.push_back(item.logLine);
            }
        }
    }
    std::this_thread::sleep_for(100ms);
    for (const CwdaemonReceived& item : receiver.Take(100000)) accepted += item.logLine.empty();
    receiver.Stop();
    for (const int fd : fds) ::close(fd);
    for (const pid_t pid : busy) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    std::printf("  %-28s %-16s %d own datagrams, %llu refused as checked too late, %zu accepted\n",
                loaded ? "with a busy process a core:" : "quiet:",
                newSockets ? "each its socket:" : "one socket:", kOwnDatagrams,
                static_cast<unsigned long long>(receiver.Refused()), accepted);
    for (const std::string& line : lines) std::printf("    %s\n", line.c_str());
}

struct Keyed {
    double firstMs = NAN;            // not keyed
    std::vector<double> elementsMs;  // marks and gaps, alternating
};

// Sends the text and reads its key-downs back from the port trace.
Keyed KeyText(test::KeyingTelkey& telkey, std::uint16_t port, int client) {
    const std::int64_t sent = test::NowNs();
    SendUdp(client, port, kText, sizeof kText - 1);
    // The key's edges after the request: down, up, down, ...
    std::vector<std::int64_t> edges;
    std::int64_t lastChange = 0;
    test::KeyingTelkey::WaitUntil(
        [&] {
            edges.clear();
            bool down = false;
            for (const test::LineChange& c : telkey.Lines()) {
                if (c.ns < sent) continue;
                lastChange = c.ns;
                if (c.key != down) edges.push_back(c.ns);
                down = c.key;
            }
            // All keyed, and PTT's tail over.
            return edges.size() >= 2 * kTextElements && test::NowNs() - lastChange > 1'500'000'000;
        },
        kTextBound);
    Keyed keyed;
    if (edges.size() >= 2 * kTextElements)
        keyed.firstMs = static_cast<double>(edges.front() - sent) / 1e6;
    for (std::size_t i = 1; i < edges.size(); ++i) {
        keyed.elementsMs.push_back(static_cast<double>(edges[i] - edges[i - 1]) / 1e6);
    }
    return keyed;
}

// The worst distance of an element from the median of its kind (1, 3 or 7 dots), in dots.
double WorstError(const std::vector<double>& ms) {
    std::vector<double> marks;
    for (std::size_t i = 0; i < ms.size(); i += 2) marks.push_back(ms[i]);
    if (marks.empty()) return NAN;
    std::sort(marks.begin(), marks.end());
    const double dot = marks.front();
    double worst = 0;
    for (const int units : {1, 3, 7}) {
        std::vector<double> kind;
        for (double e : ms) {
            if (std::lround(e / dot) == units || (units == 3 && std::lround(e / dot) == 2)) {
                kind.push_back(e);
            }
        }
        if (kind.empty()) continue;
        std::sort(kind.begin(), kind.end());
        const double median = kind[kind.size() / 2];
        for (double e : kind) worst = std::max(worst, std::abs(e - median) / dot);
    }
    return worst;
}

void Flood(bool root) {
    const std::uint16_t port = [] {
        const int probe = test::UdpSocketAs(::geteuid(), 0, false);
        const std::uint16_t p = UdpPortOf(probe);
        ::close(probe);
        return p;
    }();
    test::KeyingTelkey telkey(test::KeyedPort::Sim, TELKEY_BINARY_DIR, "");
    if (const std::string error = telkey.Start(-1, {"--cwdaemon=" + std::to_string(port)});
        !error.empty()) {
        std::printf("flood: %s\n", error.c_str());
        return;
    }
    // Ready once a request keys.
    const int client = test::UdpSocketAs(::geteuid(), 0, false);
    const bool ready = test::KeyingTelkey::WaitUntil(
        [&] {
            SendUdp(client, port, "e", 1);
            std::this_thread::sleep_for(200ms);
            return !telkey.Lines().empty();
        },
        30s);
    if (!ready) {
        ::close(client);
        std::printf("flood: telkey did not key\n%s\n", telkey.Log().c_str());
        return;
    }
    std::this_thread::sleep_for(2s);

    std::printf(
        "keying \"%s\" at 100 letters a minute over cwdaemon (MOX lead included), "
        "floods from %d sockets of %s:\n",
        kText, kFloodSockets, root ? "user nobody" : "this user, lending their ports");
    const Keyed quiet = KeyText(telkey, port, client);
    std::printf("  %-22s first element %7.1f ms after the request, worst element error %.3f dots\n",
                "quiet", quiet.firstMs, WorstError(quiet.elementsMs));
    const double dot = quiet.elementsMs.empty()
                           ? 1
                           : *std::min_element(quiet.elementsMs.begin(), quiet.elementsMs.end());
    for (const int rate : kFloodRates) {
        std::this_thread::sleep_for(1s);
        const std::string before = telkey.Log();
        auto* count =
            static_cast<std::size_t*>(::mmap(nullptr, sizeof(std::size_t), PROT_READ | PROT_WRITE,
                                             MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        *count = 0;
        const pid_t flood = StartFlood(port, root, rate, count);
        std::this_thread::sleep_for(kTextIntoFlood);
        const Keyed flooded = KeyText(telkey, port, client);
        int status = 0;
        ::waitpid(flood, &status, 0);
        double worstDiff = 0;
        const std::size_t n = std::min(quiet.elementsMs.size(), flooded.elementsMs.size());
        for (std::size_t i = 0; i < n; ++i) {
            worstDiff =
                std::max(worstDiff, std::abs(quiet.elementsMs[i] - flooded.elementsMs[i]) / dot);
        }
        // The refusals logged meanwhile, and whether one of them was as late.
        const std::string log = telkey.Log().substr(std::min(before.size(), telkey.Log().size()));
        // The longest wait of a datagram refused as late, among those logged.
        double longestWait = 0;
        for (std::size_t at = log.find("it waited "); at != std::string::npos;
             at = log.find("it waited ", at + 1)) {
            longestWait = std::max(longestWait, std::atof(log.c_str() + at + 10));
        }
        const bool late = longestWait > 0;
        char lateText[64];
        std::snprintf(lateText, sizeof lateText, "; late refusals logged, up to %.1f ms",
                      longestWait);
        char what[32];
        const double sentRate =
            static_cast<double>(*count) / std::chrono::duration<double>(kFloodTime).count();
        ::munmap(count, sizeof(std::size_t));
        std::snprintf(what, sizeof what, "%.0f/s%s", sentRate, rate > 0 ? "" : " (flat out)");
        if (std::isnan(flooded.firstMs)) {
            std::printf("  %-22s text NOT keyed within %lld s%s\n", what,
                        static_cast<long long>(kTextBound.count()), late ? lateText : "");
        } else {
            std::printf(
                "  %-22s first element %7.1f ms (%+.1f), worst element difference %.3f dots%s\n",
                what, flooded.firstMs, flooded.firstMs - quiet.firstMs, worstDiff,
                late ? lateText : "");
        }
    }
    ::close(client);
    telkey.Kill();
}

}  // namespace

// Arguments: "late" for the late checks alone, "flood" for the floods alone.
int main(int argc, char** argv) {
    const std::string only = argc > 1 ? argv[1] : "";
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    const bool root = ::geteuid() == 0;
    if (only.empty()) CheckCost(root);
    if (only.empty() || only == "late") {
        std::printf(
            "own datagrams, one each %lld us, checked with the real clock (within %lld ms):\n",
            static_cast<long long>(kOwnSpacing.count()),
            static_cast<long long>(kUdpSenderCheckWithin.count()));
        for (const bool loaded : {false, true}) {
            for (const bool newSockets : {false, true}) LateOwnChecks(loaded, newSockets);
        }
        std::printf("the wait from arrival to the reader, one datagram each %lld us:\n",
                    static_cast<long long>(kOwnSpacing.count()));
        for (const bool loaded : {false, true}) ArrivalWaits(loaded);
    }
    if (only.empty() || only == "flood") Flood(root);
    return 0;
}
