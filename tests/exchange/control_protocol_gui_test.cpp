// BRX_CW commands and Telkey_Message announcements through MainWindowHook, with a transmit
// side that records what it was asked to do.
#include "exchange/control_protocol.h"

#include <gtest/gtest.h>

#include <QToolButton>
#include <string>
#include <vector>

#include "bus/registered_messages.h"
#include "engine/handover.h"
#include "exchange/qso_fields.h"
#include "profile/exchange_settings.h"
#include "support/recording_messages.h"
#include "support/window_fixture.h"

namespace telkey {
namespace {

using Message = test::RecordingMessages::Message;

class ControlProtocolTest : public ::testing::Test {
  protected:
    ControlProtocolTest() {
        txButton.setCheckable(true);
        // A transmit side as small as the protocol needs: it records the calls and keeps the
        // flags and announcements as SetPause and ApplyTx do.
        protocol.Bind({
            [this](int slot) { calls.push_back("RunMacro " + std::to_string(slot)); },
            [this](bool on) {
                calls.push_back(on ? "SetPause on" : "SetPause off");
                flags.Paused = on ? 1 : 0;
                messages.Broadcast(registered.Telkey_Message, on ? 101 : 100, 0);
            },
            [this] {
                const bool down = txButton.isChecked();
                calls.push_back(down ? "ApplyTx down" : "ApplyTx up");
                flags.Transmitting = down ? 1 : 0;
                messages.Broadcast(registered.Telkey_Message, down ? 111 : 110, 0);
            },
            &txButton,
        });
        protocol.InstallHook();
    }

    std::int32_t Send(std::int32_t wParam, std::int32_t lParam = 0) {
        return messages.Deliver(registered.BRX_CW, wParam, lParam);
    }
    std::vector<std::int32_t> Announced() const {
        return messages.WParams(registered.Telkey_Message);
    }

    test::ScratchDirectory scratch;
    test::RecordingMessages messages;
    test::RecordingBoxes boxes;
    ExchangeSettings exchange;
    RegisteredMessages registered;
    SharedFlags flags;
    QsoFields fields{exchange, messages, registered, boxes};
    ControlProtocol protocol{messages, registered, flags, fields};
    QToolButton txButton;
    std::vector<std::string> calls;
};

TEST_F(ControlProtocolTest, StartupRegistersBothNamesAndAnnouncesPauseOffThenTxOff) {
    EXPECT_EQ(registered.BRX_CW, 0u);
    EXPECT_EQ(registered.Telkey_Message, 0u);
    protocol.AnnounceStartup();
    EXPECT_EQ(registered.BRX_CW, messages.RegisterMessage("brx_cw"));
    EXPECT_EQ(registered.Telkey_Message, messages.RegisterMessage("TELKEY_MESSAGE"));
    EXPECT_NE(registered.BRX_CW, registered.Telkey_Message);
    EXPECT_EQ(messages.sent, (std::vector<Message>{{registered.Telkey_Message, 100, 0},
                                                   {registered.Telkey_Message, 110, 0}}));
    EXPECT_TRUE(calls.empty());
}

// A damaged file of names that gives both names one identifier, or none: Telkey would take its
// own announcements for commands. Neither identifier is kept and nothing is announced.
TEST_F(ControlProtocolTest, StartupRefusesMessagesThatCannotBeToldApart) {
    messages.problem = "The file of message names /run/bus/names cannot be used";
    for (const bool merged : {true, false}) {
        messages.oneIdForAll = merged;
        messages.registrationFails = !merged;
        const std::string problem = protocol.AnnounceStartup();
        EXPECT_NE(problem.find(messages.problem), std::string::npos) << problem;
        EXPECT_EQ(registered.BRX_CW, 0u);
        EXPECT_EQ(registered.Telkey_Message, 0u);
        EXPECT_TRUE(messages.sent.empty());
        EXPECT_EQ(Send(kCommandPauseOff), 0);
        EXPECT_EQ(messages.Deliver(0xC000, kCommandPauseOff, 0), 0);
        EXPECT_TRUE(calls.empty());
    }
}

// At the first activation the same refusal ends the program with a message saying what to do.
TEST(ControlProtocolStartup, DamagedNamesFileEndsTheProgramWithItsRepair) {
    test::WindowFixture w({}, /*show=*/false);
    w.messages.oneIdForAll = true;
    w.messages.problem =
        "The file of message names /run/bus/names cannot be used: line 2 is "
        "not a message name. Remove it while no program that uses the message "
        "bus runs";
    w.form.show();
    test::WindowFixture::ProcessEvents();
    ASSERT_EQ(w.boxes.shown.size(), 1u);
    EXPECT_EQ(w.boxes.shown[0].title, "Error");
    EXPECT_TRUE(w.boxes.shown[0].text.contains(QString::fromStdString(w.messages.problem)))
        << w.boxes.shown[0].text.toStdString();
    EXPECT_EQ(w.endRequests, 1);
    EXPECT_TRUE(w.messages.sent.empty());
}

TEST_F(ControlProtocolTest, NothingIsTakenBeforeRegistration) {
    EXPECT_EQ(messages.Deliver(0, 1, 0), 0);
    EXPECT_EQ(messages.Deliver(0xC000, 1, 0), 0);
    EXPECT_TRUE(calls.empty());
}

TEST_F(ControlProtocolTest, CommandsZeroToFifteenRunTheirMacroSlot) {
    protocol.AnnounceStartup();
    for (int slot = 0; slot <= 15; ++slot) EXPECT_EQ(Send(slot, 12345), 0);
    ASSERT_EQ(calls.size(), 16u);
    EXPECT_EQ(calls.front(), "RunMacro 0");
    EXPECT_EQ(calls.back(), "RunMacro 15");
}

TEST_F(ControlProtocolTest, CodesOutsideTheTableDoNothing) {
    protocol.AnnounceStartup();
    messages.sent.clear();
    for (std::int32_t code : {16, 99, 103, 109, 113, -1, 256 + 1, -2147483647 - 1, 2147483647}) {
        EXPECT_EQ(Send(code), 0);
    }
    EXPECT_TRUE(calls.empty());
    EXPECT_TRUE(messages.sent.empty());
    EXPECT_FALSE(txButton.isChecked());
}

TEST_F(ControlProtocolTest, PauseCommands) {
    protocol.AnnounceStartup();
    messages.sent.clear();
    Send(102);
    Send(102);
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{101, 100}));
    Send(101);
    Send(101);
    Send(100);
    EXPECT_EQ(calls, (std::vector<std::string>{"SetPause on", "SetPause off", "SetPause on",
                                               "SetPause on", "SetPause off"}));
}

TEST_F(ControlProtocolTest, TransmitCommandsSetTheButtonThenApplyIt) {
    protocol.AnnounceStartup();
    messages.sent.clear();
    Send(110);  // already receiving: still applied and announced
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{110}));
    Send(111);
    EXPECT_TRUE(txButton.isChecked());
    Send(112);
    EXPECT_FALSE(txButton.isChecked());
    Send(112);
    EXPECT_TRUE(txButton.isChecked());
    // The toggle follows the flag, not the button.
    flags.Transmitting = 0;
    Send(112);
    EXPECT_TRUE(txButton.isChecked());
    EXPECT_EQ(Announced(), (std::vector<std::int32_t>{110, 111, 110, 111, 111}));
}

TEST_F(ControlProtocolTest, OtherMessagesAreLeftAlone) {
    protocol.AnnounceStartup();
    const std::uint32_t other = messages.RegisterMessage("Some_Logger");
    EXPECT_EQ(messages.Deliver(other, 1, 0), 0);
    EXPECT_EQ(messages.Deliver(registered.Telkey_Message, 1, 0), 0);
    EXPECT_TRUE(calls.empty());
}

}  // namespace
}  // namespace telkey
