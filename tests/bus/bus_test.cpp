// The message bus across real processes: telkey-msg children and forked participants.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "bus/bus_directory.h"
#include "bus/bus_frame.h"
#include "bus/bus_participant.h"
#include "bus/bus_test_support.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;
using test::Child;
using test::ScratchBus;
using test::ServeUntil;
using test::TelkeyMsg;

struct Received {
    std::uint32_t msg;
    std::int32_t wParam;
    std::int32_t lParam;
    bool operator==(const Received&) const = default;
};

// A participant in this process that records what reaches its handler.
struct Recorder {
    explicit Recorder(const std::string& dir) : bus(dir) {
        bus.SetHandler([this](std::uint32_t msg, std::int32_t w, std::int32_t l) {
            got.push_back({msg, w, l});
            return w + 1;
        });
    }
    BusParticipant bus;
    std::vector<Received> got;
};

std::unique_ptr<Child> StartListener(const std::string& busDir, std::vector<std::string> names = {},
                                     int participantsAfter = 0) {
    std::vector<std::string> args{TelkeyMsg(), "listen"};
    args.insert(args.end(), names.begin(), names.end());
    auto child = std::make_unique<Child>(args);
    // Its socket appears once it listens.
    EXPECT_TRUE(
        test::WaitUntil([&] { return test::CountParticipants(busDir) >= participantsAfter; }, 5s));
    return child;
}

int RunTelkeyMsg(std::vector<std::string> args, std::string* output = nullptr) {
    args.insert(args.begin(), TelkeyMsg());
    Child child(args);
    if (output != nullptr) {
        while (auto line = child.ReadLine(5s)) *output += *line + "\n";
    }
    return child.Wait();
}

TEST(BusTest, SameNameGivesSameIdentifierInEveryProcess) {
    ScratchBus scratch;
    BusParticipant bus(scratch.Path(), false);
    const std::uint32_t brx = bus.RegisterMessage("BRX_CW");
    EXPECT_EQ(brx, 0xC000u);

    std::string out;
    EXPECT_EQ(RunTelkeyMsg({"id", "brx_cw"}, &out), 0);
    EXPECT_EQ(out, "49152\n");
    out.clear();
    EXPECT_EQ(RunTelkeyMsg({"id", "Telkey_Message"}, &out), 0);
    EXPECT_EQ(out, "49153\n");
    EXPECT_EQ(bus.RegisterMessage("TELKEY_MESSAGE"), 0xC001u);  // registered by another process
    EXPECT_EQ(bus.MessageName(0xC001), "Telkey_Message");       // as first spelled

    // Several processes registering many names at once, in different orders, agree.
    const std::string results = scratch.Path() + "/../ids";
    std::vector<pid_t> children;
    for (int c = 0; c < 4; ++c) {
        children.push_back(test::Fork([&, c] {
            BusParticipant own(scratch.Path(), false);
            std::ofstream out(results + std::to_string(c));
            for (int i = 0; i < 40; ++i) {
                const int n = (c % 2 == 0) ? i : 39 - i;
                out << "Name" << n << ' ' << own.RegisterMessage("name" + std::to_string(n))
                    << '\n';
            }
            return 0;
        }));
    }
    std::map<std::string, std::string> first;
    for (int c = 0; c < 4; ++c) {
        ASSERT_EQ(test::WaitChild(children[c]), 0);
        std::ifstream in(results + std::to_string(c));
        std::string name, id;
        int lines = 0;
        while (in >> name >> id) {
            ++lines;
            EXPECT_NE(id, "0");
            const auto [it, fresh] = first.emplace(name, id);
            EXPECT_EQ(it->second, id) << name;
        }
        EXPECT_EQ(lines, 40);
    }
    EXPECT_EQ(bus.RegisterMessage("NAME7"), std::stoul(first["Name7"]));

    // Names that cannot be registered give 0, as an unregistered message.
    EXPECT_EQ(bus.RegisterMessage(""), 0u);
    EXPECT_EQ(bus.RegisterMessage("two\nlines"), 0u);
    EXPECT_EQ(bus.RegisterMessage(std::string(300, 'x')), 0u);
}

// One call delivers to three other processes and to the caller's own handler, and each of them
// has handled the message (printed its line) before the call returns.
TEST(BusTest, BroadcastReachesEveryParticipantBeforeItReturns) {
    ScratchBus scratch;
    std::vector<std::unique_ptr<Child>> listeners;
    for (int i = 1; i <= 3; ++i) listeners.push_back(StartListener(scratch.Path(), {}, i));
    Recorder self(scratch.Path());
    const std::uint32_t msg = self.bus.RegisterMessage("Telkey_Message");

    const BroadcastReport report = self.bus.BroadcastWithReport(msg, 131, 4);
    EXPECT_EQ(report.answered, 3);
    EXPECT_EQ(report.skipped, 0);
    EXPECT_EQ(self.got, (std::vector<Received>{{msg, 131, 4}}));
    for (auto& listener : listeners) {
        EXPECT_EQ(listener->ReadLine(0ms), "Telkey_Message 131 4");  // already there
    }

    // A message without a registered name prints as its number; negative values stay signed.
    self.bus.Broadcast(0x1234, -1, -2147483647 - 1);
    for (auto& listener : listeners) {
        EXPECT_EQ(listener->ReadLine(0ms), "4660 -1 -2147483648");
        EXPECT_EQ(listener->Stop(), 0);
    }
    EXPECT_EQ(test::CountParticipants(scratch.Path()), 1);  // the listeners removed theirs
}

TEST(BusTest, TelkeyMsgSendIsSynchronousAndListenFilters) {
    ScratchBus scratch;
    Recorder self(scratch.Path());
    const std::uint32_t brx = self.bus.RegisterMessage("BRX_CW");
    const std::uint32_t telkey = self.bus.RegisterMessage("Telkey_Message");
    auto all = StartListener(scratch.Path(), {}, 2);
    auto onlyBrx = StartListener(scratch.Path(), {"brx_cw"}, 3);
    const pid_t sender = test::Fork([] {
        Child send({TelkeyMsg(), "send", "BRX_CW", "111"});
        const int first = send.Wait();
        Child second({TelkeyMsg(), "send", "Telkey_Message", "0x183", "0x84"});
        return first == 0 && second.Wait() == 0 ? 0 : 1;
    });
    ASSERT_TRUE(ServeUntil(self.bus, [&] { return self.got.size() == 2; }));
    EXPECT_EQ(test::WaitChild(sender), 0);
    EXPECT_EQ(self.got, (std::vector<Received>{{brx, 111, 0}, {telkey, 0x183, 0x84}}));
    EXPECT_EQ(all->ReadLine(), "BRX_CW 111 0");
    EXPECT_EQ(all->ReadLine(), "Telkey_Message 387 132");
    EXPECT_EQ(onlyBrx->ReadLine(), "BRX_CW 111 0");
    EXPECT_EQ(onlyBrx->ReadLine(300ms), std::nullopt);
}

// A participant that is stopped never answers: the broadcast waits for it 5 s and no longer,
// while the others are served as usual.
TEST(BusTest, SilentParticipantDelaysBroadcastByTheBoundOnly) {
    ScratchBus scratch;
    auto silent = StartListener(scratch.Path(), {}, 1);
    auto lively = StartListener(scratch.Path(), {}, 2);
    silent->Signal(SIGSTOP);
    Recorder self(scratch.Path());
    const auto start = std::chrono::steady_clock::now();
    const BroadcastReport report = self.bus.BroadcastWithReport(0xC000, 1, 2);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, kBusAnswerTimeout - 50ms);
    EXPECT_LT(took, kBusAnswerTimeout + 1500ms);
    EXPECT_EQ(report.answered, 1);
    EXPECT_EQ(report.skipped, 1);
    EXPECT_EQ(lively->ReadLine(0ms), "49152 1 2");
    EXPECT_EQ(self.got.size(), 1u);
    silent->Signal(SIGCONT);
    EXPECT_EQ(silent->ReadLine(), "49152 1 2");  // handled late; nothing is lost for it
}

// A stopped participant costs one wait in total: later broadcasts pass it over at once, until
// it has answered the one it owes; then it is asked again.
TEST(BusTest, StoppedParticipantIsPassedOverUntilItAnswers) {
    ScratchBus scratch;
    auto stopped = StartListener(scratch.Path(), {}, 1);
    auto lively = StartListener(scratch.Path(), {}, 2);
    stopped->Signal(SIGSTOP);
    Recorder self(scratch.Path());
    EXPECT_EQ(self.bus.BroadcastWithReport(0xC000, 1, 0).skipped, 1);  // the one 5 s wait
    EXPECT_EQ(lively->ReadLine(), "49152 1 0");

    for (int i = 2; i <= 4; ++i) {
        const auto start = std::chrono::steady_clock::now();
        const BroadcastReport report = self.bus.BroadcastWithReport(0xC000, i, 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
        EXPECT_EQ(report.answered, 1);
        EXPECT_EQ(report.skipped, 1);
        EXPECT_EQ(report.unresponsive, 1);
        EXPECT_EQ(lively->ReadLine(), "49152 " + std::to_string(i) + " 0");
    }

    stopped->Signal(SIGCONT);
    EXPECT_EQ(stopped->ReadLine(), "49152 1 0");  // its answer to the first one is on its way
    std::this_thread::sleep_for(50ms);
    const BroadcastReport report = self.bus.BroadcastWithReport(0xC000, 5, 0);
    EXPECT_EQ(report.answered, 2);
    EXPECT_EQ(report.skipped, 0);
    EXPECT_EQ(stopped->ReadLine(), "49152 5 0");
}

// Work watched while a broadcast waits goes on meanwhile, and can end the wait at once (a
// request to end the program).
TEST(BusTest, WatchedWorkRunsWhileABroadcastWaitsAndCanEndTheWait) {
    ScratchBus scratch;
    auto stopped = StartListener(scratch.Path(), {}, 1);
    stopped->Signal(SIGSTOP);
    Recorder self(scratch.Path());
    int wake[2];
    ASSERT_EQ(::pipe(wake), 0);
    int runs = 0;
    self.bus.WatchWhileWaiting(wake[0], [&] {
        char byte = 0;
        ASSERT_EQ(::read(wake[0], &byte, 1), 1);
        if (++runs == 3) self.bus.StopWaiting();
    });
    ASSERT_EQ(::write(wake[1], "a", 1), 1);
    std::thread writer([&] {
        for (int i = 0; i < 2; ++i) {
            std::this_thread::sleep_for(100ms);
            ASSERT_EQ(::write(wake[1], "b", 1), 1);
        }
    });
    const auto start = std::chrono::steady_clock::now();
    const BroadcastReport report = self.bus.BroadcastWithReport(0xC000, 1, 0);
    const auto took = std::chrono::steady_clock::now() - start;
    writer.join();
    EXPECT_EQ(runs, 3);
    EXPECT_LT(took, 1s);
    EXPECT_EQ(report.skipped, 1);
    // Once stopped, no broadcast waits; its own handler still gets every message.
    const auto again = std::chrono::steady_clock::now();
    self.bus.Broadcast(0xC000, 2, 0);
    EXPECT_LT(std::chrono::steady_clock::now() - again, 1s);
    EXPECT_EQ(self.got.size(), 2u);
    self.bus.WatchWhileWaiting(wake[0], nullptr);
    ::close(wake[0]);
    ::close(wake[1]);
}

// A handler that broadcasts the message it is handling does not get it back (that would never
// end), and two participants that answer a message with the same message stop after a few
// rounds. Run in children: the fault this guards against is a stack overflow.
TEST(BusTest, BroadcastingTheMessageBeingHandledIsBounded) {
    ScratchBus scratch;
    const pid_t self = test::Fork([&] {
        BusParticipant bus(scratch.Path());
        int handled = 0;
        bus.SetHandler([&](std::uint32_t msg, std::int32_t w, std::int32_t l) {
            ++handled;
            bus.Broadcast(msg, w, l);
            return 0;
        });
        bus.Broadcast(0xC000, 100, 0);
        return handled == 1 ? 0 : 1;
    });
    EXPECT_EQ(test::WaitChild(self), 0);

    int startPipe[2];
    ASSERT_EQ(::pipe(startPipe), 0);
    const auto echo = [&](bool starts) {
        return [&, starts] {
            BusParticipant bus(scratch.Path());
            int handled = 0;
            bus.SetHandler([&](std::uint32_t msg, std::int32_t w, std::int32_t l) {
                ++handled;
                bus.Broadcast(msg, w, l);
                return 0;
            });
            char go = 0;
            if (::read(startPipe[0], &go, 1) != 1) return 2;
            if (starts) bus.Broadcast(0xC000, 100, 0);
            ServeUntil(
                bus, [] { return false; }, 500ms);
            return handled > 0 && handled <= 2 * kMaxSameMessageNesting ? 0 : 1;
        };
    };
    const pid_t a = test::Fork(echo(true));
    const pid_t b = test::Fork(echo(false));
    ASSERT_TRUE(test::WaitUntil([&] { return test::CountParticipants(scratch.Path()) == 2; }));
    ASSERT_EQ(::write(startPipe[1], "gg", 2), 2);
    EXPECT_EQ(test::WaitChild(a), 0);
    EXPECT_EQ(test::WaitChild(b), 0);
    ::close(startPipe[0]);
    ::close(startPipe[1]);
}

// Two processes broadcast to each other at the same moment, and every handler broadcasts again
// from inside (re-entrancy): both finish, promptly, and every message arrives once.
TEST(BusTest, ParticipantsBroadcastingToEachOtherAtOnceBothFinish) {
    ScratchBus scratch;
    constexpr int kPings = 20;
    int startPipe[2];
    ASSERT_EQ(::pipe(startPipe), 0);
    const auto body = [&] {
        BusParticipant bus(scratch.Path());
        const std::uint32_t ping = bus.RegisterMessage("Ping");
        const std::uint32_t pong = bus.RegisterMessage("Pong");
        int pings = 0;
        int pongs = 0;
        bool slow = false;
        bus.SetHandler([&](std::uint32_t msg, std::int32_t, std::int32_t) {
            if (msg == ping) {
                ++pings;
                bus.Broadcast(pong, 0, 0);
            } else if (msg == pong) {
                ++pongs;
            }
            return 0;
        });
        char go = 0;
        if (::read(startPipe[0], &go, 1) != 1) return 2;
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kPings; ++i) {
            const BroadcastReport report = bus.BroadcastWithReport(ping, i, 0);
            slow = slow || report.answered != 1 || report.skipped != 0;
        }
        // Each process handles 2 x kPings pings, and each handled ping is answered by a pong to
        // both: 4 x kPings pongs reach each of them.
        const bool all = ServeUntil(
            bus, [&] { return pings == 2 * kPings && pongs == 4 * kPings; }, 10s);
        ServeUntil(
            bus, [] { return false; }, 200ms);  // the other may still be waiting on us
        const bool prompt = std::chrono::steady_clock::now() - start < 4s;
        return all && !slow && prompt ? 0 : 1;
    };
    const pid_t a = test::Fork(body);
    const pid_t b = test::Fork(body);
    ASSERT_TRUE(test::WaitUntil([&] { return test::CountParticipants(scratch.Path()) == 2; }));
    ASSERT_EQ(::write(startPipe[1], "gg", 2), 2);
    EXPECT_EQ(test::WaitChild(a), 0);
    EXPECT_EQ(test::WaitChild(b), 0);
    ::close(startPipe[0]);
    ::close(startPipe[1]);
}

int ConnectTo(const std::string& path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    timeval bound{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
    return fd;
}

bool SendBytes(int fd, const void* data, std::size_t size) {
    return ::send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

// True when the receiver hung up without answering (a reset when it left our bytes unread).
bool HungUpUnanswered(int fd) {
    char byte = 0;
    const ssize_t n = ::recv(fd, &byte, 1, 0);
    return n == 0 || (n < 0 && errno == ECONNRESET);
}

std::optional<std::int32_t> Answer(int fd) {
    std::array<std::uint8_t, kBusAnswerSize> answer{};
    std::size_t have = 0;
    while (have < answer.size()) {
        const ssize_t n = ::recv(fd, answer.data() + have, answer.size() - have, 0);
        if (n <= 0) return std::nullopt;
        have += static_cast<std::size_t>(n);
    }
    return DecodeBusAnswer(answer);
}

// Malformed and truncated frames are dropped without an answer, and a flood of frames is
// served in full; the receiver keeps serving through all of it.
TEST(BusTest, MalformedFramesAndFloodsLeaveTheReceiverServing) {
    ScratchBus scratch;
    Recorder self(scratch.Path());
    const std::string path = self.bus.SocketPath();
    constexpr int kFlood = 1000;
    const pid_t peer = test::Fork([&] {
        int failures = 0;
        const auto good = EncodeBusFrame({0xC000, 41, 7});
        auto bad = good;
        bad[0] ^= 0xFF;
        // A frame with a wrong magic: dropped, hung up.
        int fd = ConnectTo(path);
        failures += !SendBytes(fd, bad.data(), bad.size()) || !HungUpUnanswered(fd);
        ::close(fd);
        // A truncated frame, then the sender goes.
        fd = ConnectTo(path);
        failures += !SendBytes(fd, good.data(), 10);
        ::close(fd);
        // Seventeen bytes: the frame is answered, the odd byte left over never is.
        fd = ConnectTo(path);
        std::vector<std::uint8_t> seventeen(good.begin(), good.end());
        seventeen.push_back(0x54);
        failures += !SendBytes(fd, seventeen.data(), seventeen.size()) || Answer(fd) != 42;
        ::shutdown(fd, SHUT_WR);
        failures += !HungUpUnanswered(fd);
        ::close(fd);
        // A half frame held open does not block other senders.
        const int stalled = ConnectTo(path);
        failures += !SendBytes(stalled, good.data(), 5);
        // A thousand frames in one go on one connection, answered in order.
        fd = ConnectTo(path);
        std::vector<std::uint8_t> flood;
        for (int i = 0; i < kFlood; ++i) {
            const auto frame = EncodeBusFrame({0xC000, i, 0});
            flood.insert(flood.end(), frame.begin(), frame.end());
        }
        failures += !SendBytes(fd, flood.data(), flood.size());
        for (int i = 0; i < kFlood; ++i) failures += Answer(fd) != i + 1;
        ::close(fd);
        // A thousand connections, one frame each.
        for (int i = 0; i < kFlood; ++i) {
            fd = ConnectTo(path);
            failures += fd < 0 || !SendBytes(fd, good.data(), good.size()) || Answer(fd) != 42;
            ::close(fd);
        }
        ::close(stalled);
        return failures == 0 ? 0 : 1;
    });
    int status = -1;
    ASSERT_TRUE(ServeUntil(
        self.bus,
        [&] {
            int raw = 0;
            if (::waitpid(peer, &raw, WNOHANG) != peer) return false;
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            return true;
        },
        20s));
    EXPECT_EQ(status, 0);
    EXPECT_EQ(self.got.size(), 1u + kFlood + kFlood);

    // And it still serves an ordinary sender.
    const pid_t sender = test::Fork([] {
        Child send({TelkeyMsg(), "send", "BRX_CW", "5"});
        return send.Wait();
    });
    ASSERT_TRUE(ServeUntil(self.bus, [&] { return self.got.size() == 2u + 2 * kFlood; }));
    EXPECT_EQ(test::WaitChild(sender), 0);
    EXPECT_EQ(self.got.back().wParam, 5);
}

// Even when someone opened the directory and the socket to everybody, a peer of another user
// is hung up on unanswered and never reaches the handler.
TEST(BusTest, PeerOfAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to act as another user";
    ScratchBus scratch;
    Recorder self(scratch.Path());
    ::chmod((scratch.Path() + "/..").c_str(), 0755);
    ::chmod(scratch.Path().c_str(), 0755);
    ::chmod(self.bus.SocketPath().c_str(), 0777);
    const std::string path = self.bus.SocketPath();
    const pid_t stranger = test::Fork([&] {
        if (::setgid(test::kNobodyUid) != 0 || ::setuid(test::kNobodyUid) != 0) return 3;
        const int fd = ConnectTo(path);
        if (fd < 0) return 2;
        const auto frame = EncodeBusFrame({0xC000, 1, 1});
        // Either the send already finds the connection closed, or no answer ever comes.
        const bool sent = SendBytes(fd, frame.data(), frame.size());
        return !sent || HungUpUnanswered(fd) ? 0 : 1;
    });
    int status = -1;
    ASSERT_TRUE(ServeUntil(self.bus, [&] {
        int raw = 0;
        if (::waitpid(stranger, &raw, WNOHANG) != stranger) return false;
        status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
        return true;
    }));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(self.got.empty());
}

TEST(BusTest, DirectoryMustBePrivateToThisUser) {
    test::ScratchDir dir;
    const std::string fresh = dir / "a/b/bus";
    EXPECT_EQ(OpenBusDirectory(fresh), fresh);  // created, with its parents
    struct stat st {};
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    const std::string open = dir / "open";
    ::mkdir(open.c_str(), 0700);
    ::chmod(open.c_str(), 0755);
    try {
        OpenBusDirectory(open);
        ADD_FAILURE() << "an open directory was accepted";
    } catch (const BusError& error) {
        EXPECT_NE(std::string(error.what()).find("open to other users"), std::string::npos);
    }
    const std::string file = dir / "file";
    test::WriteBytes(file, "");
    EXPECT_THROW(OpenBusDirectory(file), BusError);

    // telkey-msg says so and fails.
    {
        const test::ScopedEnv env("TELKEY_BUS_DIR", open);
        EXPECT_EQ(RunTelkeyMsg({"send", "BRX_CW", "111"}), 1);
        EXPECT_EQ(RunTelkeyMsg({"listen"}), 1);
    }

    if (::geteuid() == 0) {
        const std::string foreign = dir / "foreign";
        ::mkdir(foreign.c_str(), 0700);
        ASSERT_EQ(::chown(foreign.c_str(), test::kNobodyUid, test::kNobodyUid), 0);
        try {
            OpenBusDirectory(foreign);
            ADD_FAILURE() << "a directory of another user was accepted";
        } catch (const BusError& error) {
            EXPECT_NE(std::string(error.what()).find("belongs to another user"), std::string::npos);
        }
    }
}

// The socket of a participant that died without cleaning up is removed by the next broadcast.
TEST(BusTest, SocketOfAGoneParticipantIsRemoved) {
    ScratchBus scratch;
    const pid_t dead = test::Fork([&] {
        new BusParticipant(scratch.Path());  // never destroyed: the socket file stays
        ::_exit(0);
        return 0;
    });
    ASSERT_EQ(test::WaitChild(dead), 0);
    ASSERT_EQ(test::CountParticipants(scratch.Path()), 1);
    BusParticipant bus(scratch.Path(), false);
    const BroadcastReport report = bus.BroadcastWithReport(0xC000, 0, 0);
    EXPECT_EQ(report.removed, 1);
    EXPECT_EQ(report.skipped, 0);
    EXPECT_EQ(test::CountParticipants(scratch.Path()), 0);
}

TEST(BusTest, TelkeyMsgCommandLine) {
    ScratchBus scratch;
    std::string out;
    EXPECT_EQ(RunTelkeyMsg({"--help"}, &out), 0);
    EXPECT_NE(out.find("telkey-msg send NAME WPARAM [LPARAM]"), std::string::npos);
    EXPECT_EQ(RunTelkeyMsg({}), 2);
    EXPECT_EQ(RunTelkeyMsg({"shout", "x"}), 2);
    EXPECT_EQ(RunTelkeyMsg({"send", "BRX_CW"}), 2);
    EXPECT_EQ(RunTelkeyMsg({"send", "BRX_CW", "eleven"}), 2);
    EXPECT_EQ(RunTelkeyMsg({"send", "BRX_CW", "1", "0x100000000"}), 2);
    EXPECT_EQ(RunTelkeyMsg({"id"}), 2);
    EXPECT_EQ(RunTelkeyMsg({"send", "", "1"}), 1);  // a name that cannot be registered
}

// A message nobody got is a failure a script can see, with the reason on stderr.
TEST(BusTest, TelkeyMsgSendWithNobodyOnTheBusFails) {
    ScratchBus scratch;
    Child send({TelkeyMsg(), "send", "BRX_CW", "111"}, /*errorsToo=*/true);
    const auto said = send.ReadLine();
    ASSERT_TRUE(said.has_value());
    EXPECT_NE(said->find("no Telkey is running on this bus"), std::string::npos) << *said;
    EXPECT_EQ(send.Wait(), 1);
}

}  // namespace
}  // namespace telkey
