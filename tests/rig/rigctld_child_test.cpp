// A rig on a serial port through the rigctld Telkey starts itself: Hamlib's dummy rig with a
// pseudo-terminal as its port. What rigctld says when it cannot run, its restart when it dies,
// and its end (and its keeper's) with the link or with the process that owns the link.
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>

#include <dirent.h>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "rig/rig_link.h"
#include "support/scratch_dir.h"

namespace telkey::rig {
namespace {

using namespace std::chrono_literals;

constexpr auto kAnswerLimit = 5s;
constexpr int kDummyModel = 1;

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end; std::this_thread::sleep_for(10ms)) {
        if (condition()) return true;
    }
    return condition();
}

// The process's name and parent, from /proc.
bool Stat(pid_t pid, std::string& name, pid_t& parent) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string pidText, state;
    if (!(in >> pidText >> name >> state >> parent)) return false;
    return state != "Z";
}

// The processes whose parent is `parent`, with their names.
std::vector<std::pair<pid_t, std::string>> Children(pid_t parent) {
    std::vector<std::pair<pid_t, std::string>> found;
    DIR* dir = ::opendir("/proc");
    for (dirent* e; dir != nullptr && (e = ::readdir(dir)) != nullptr;) {
        const pid_t pid = std::atoi(e->d_name);
        std::string name;
        pid_t up = 0;
        if (pid > 0 && Stat(pid, name, up) && up == parent) found.emplace_back(pid, name);
    }
    if (dir != nullptr) ::closedir(dir);
    return found;
}

// rigctld under its keeper under `owner`; -1 when none runs.
pid_t RigctldOf(pid_t owner) {
    for (const auto& [keeper, name] : Children(owner)) {
        if (name != "(rigctld-keeper)") continue;
        for (const auto& [child, childName] : Children(keeper)) {
            if (childName == "(rigctld)") return child;
        }
    }
    return -1;
}

class RigctldChildTest : public ::testing::Test {
  protected:
    RigctldChildTest() {
        ::openpty(&master_, &slave_, name_, nullptr, nullptr);
        target_.kind = RigTarget::Kind::Serial;
        target_.model = kDummyModel;
        target_.device = name_;
        target_.baud = 9600;
        timings_.backoffFirst = 50ms;
    }
    ~RigctldChildTest() override {
        ::close(master_);
        ::close(slave_);
    }

    int master_ = -1;
    int slave_ = -1;
    char name_[256] = {};
    RigTarget target_;
    RigTimings timings_;
};

TEST_F(RigctldChildTest, SerialRigWorksAndItsRigctldIsRestartedAndEndsWithTheLink) {
    pid_t rigctld = -1;
    {
        RigLink link(target_, timings_);
        ASSERT_EQ(link.Identify()->Wait(kAnswerLimit), RigOutcome::Ok) << link.Status().words;
        EXPECT_NE(link.Status().words.find("connected: "), std::string::npos);
        EXPECT_GT(link.Status().childPort, 0);
        rigctld = RigctldOf(::getpid());
        ASSERT_GT(rigctld, 0);

        ASSERT_EQ(link.SetPtt(true)->Wait(kAnswerLimit), RigOutcome::Ok);
        auto ptt = link.GetPtt();
        ASSERT_EQ(ptt->Wait(kAnswerLimit), RigOutcome::Ok);
        EXPECT_EQ(ptt->Value(), 1);
        EXPECT_EQ(link.SetKeySpeed(25)->Wait(kAnswerLimit), RigOutcome::Ok);
        EXPECT_EQ(link.SendMorse("TEST")->Wait(kAnswerLimit), RigOutcome::Ok);

        // Killed: the next request fails in words, and a new rigctld takes over.
        ::kill(rigctld, SIGKILL);
        EXPECT_NE(link.GetPtt()->Wait(kAnswerLimit), RigOutcome::Ok);
        EXPECT_TRUE(Eventually([&] {
            return link.SetPtt(false)->Wait(kAnswerLimit) == RigOutcome::Ok;
        })) << link.Status().words;
        const pid_t again = RigctldOf(::getpid());
        EXPECT_GT(again, 0);
        EXPECT_NE(again, rigctld);
        rigctld = again;
    }
    // The link's end ends rigctld and its keeper, both reaped.
    EXPECT_EQ(RigctldOf(::getpid()), -1);
    EXPECT_TRUE(Children(::getpid()).empty());
    std::string name;
    pid_t parent = 0;
    EXPECT_FALSE(Stat(rigctld, name, parent));
}

TEST_F(RigctldChildTest, RigctldThatCannotRunIsSaidInWords) {
    test::ScratchDir empty;
    const std::string path = std::getenv("PATH");
    const struct {
        const char* name;
        int model;
        std::string path;
        RigHealth health;
        const char* words;
    } cases[] = {
        {"not installed", kDummyModel, empty.Path(), RigHealth::Refused,
         "rigctld not found: install libhamlib-utils"},
        {"no such model", 999999, path, RigHealth::Refused, "Unknown rig num 999999"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ::setenv("PATH", c.path.c_str(), 1);
        target_.model = c.model;
        RigLink link(target_, timings_);
        auto ticket = link.SetPtt(true);
        EXPECT_NE(ticket->Wait(kAnswerLimit), RigOutcome::Ok);
        EXPECT_TRUE(Eventually([&] { return link.Status().health == c.health; }))
            << link.Status().words;
        EXPECT_NE(link.Status().words.find(c.words), std::string::npos) << link.Status().words;
        ::setenv("PATH", path.c_str(), 1);
    }
}

// The process that owns the link killed outright: its rigctld does not outlive it.
TEST_F(RigctldChildTest, RigctldEndsWithItsOwnerKilled) {
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t owner = ::fork();
    if (owner == 0) {
        RigLink link(target_, timings_);
        const bool ok = link.SetPtt(true)->Wait(kAnswerLimit) == RigOutcome::Ok;
        [[maybe_unused]] const ssize_t n = ::write(ready[1], ok ? "1" : "0", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char ok = 0;
    ASSERT_EQ(::read(ready[0], &ok, 1), 1);
    ::close(ready[0]);
    EXPECT_EQ(ok, '1');
    const pid_t rigctld = RigctldOf(owner);
    EXPECT_GT(rigctld, 0);
    ::kill(owner, SIGKILL);
    ::waitpid(owner, nullptr, 0);
    std::string name;
    pid_t parent = 0;
    EXPECT_TRUE(Eventually([&] { return !Stat(rigctld, name, parent); }));
}

}  // namespace
}  // namespace telkey::rig
