// The bus served by the Qt event loop, as the main window uses it.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "bus/bus_test_support.h"
#include "exchange/window_bus.h"

namespace telkey {
namespace {

using namespace std::chrono_literals;

bool ProcessEventsUntil(const std::function<bool()>& done) {
    return test::WaitUntil([&] {
        QCoreApplication::processEvents();
        return done();
    });
}

TEST(WindowBusGuiTest, OtherProgramsReachTheHandlerThroughTheEventLoop) {
    test::ScratchBus scratch;
    std::string error;
    const auto bus = OpenWindowBus(nullptr, error);
    ASSERT_TRUE(bus) << error;
    std::vector<std::pair<std::int32_t, std::int32_t>> got;
    const std::uint32_t brx = bus->RegisterMessage("BRX_CW");
    const std::uint32_t telkey = bus->RegisterMessage("Telkey_Message");
    bus->SetHandler([&](std::uint32_t msg, std::int32_t w, std::int32_t l) {
        if (msg == brx || msg == telkey) got.emplace_back(w, l);
        return 0;
    });

    // A logger's command, sent synchronously: it returns once the window has handled it.
    test::Child send({test::TelkeyMsg(), "send", "brx_cw", "102"});
    ASSERT_TRUE(ProcessEventsUntil([&] { return got.size() == 1; }));
    EXPECT_EQ(got.back(), std::make_pair(102, 0));
    EXPECT_EQ(send.Wait(), 0);

    // The window's announcement reaches a listening logger and the window itself.
    test::Child listener({test::TelkeyMsg(), "listen", "Telkey_Message"});
    ASSERT_TRUE(test::WaitUntil([&] { return test::CountParticipants(scratch.Path()) == 2; }));
    bus->Broadcast(telkey, 131, 4);
    EXPECT_EQ(got.back(), std::make_pair(131, 4));
    EXPECT_EQ(listener.ReadLine(0ms), "Telkey_Message 131 4");
}

TEST(WindowBusGuiTest, UnusableDirectoryGivesAClearError) {
    test::ScratchDir dir;
    test::WriteBytes(dir / "file", "");
    const test::ScopedEnv env("TELKEY_BUS_DIR", dir / "file");
    std::string error;
    EXPECT_EQ(OpenWindowBus(nullptr, error), nullptr);
    EXPECT_NE(error.find("is not a directory"), std::string::npos) << error;
}

}  // namespace
}  // namespace telkey
