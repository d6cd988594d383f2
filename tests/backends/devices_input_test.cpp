// The game port's buttons from an input device: a joystick's first two buttons, or a keyboard
// paddle adapter's keys, bits 4 and 5 of port 0x201, low while pressed.
#include <linux/input.h>

#include "tests/backends/devices_fixture.h"

namespace telkey::test {
namespace {

using ::testing::HasSubstr;

class InputTest : public DevicesFixture {
  protected:
    void Open(const std::string& keys = "") {
        DevicesConfig config = Config();
        config.gameport = "/dev/input/event7";
        config.paddleKeys = keys;
        Build(config);
    }
    void Service() { bus->GamePort()->Service(now += 10 * kMsNs, 0); }

    std::int64_t now = 0;
};

TEST_F(InputTest, JoystickButtonsBecomeBitsFourAndFiveActiveLow) {
    const int stick = layer.AddInput("/dev/input/event7", {BTN_TRIGGER, BTN_THUMB, BTN_THUMB2},
                                     "Gameport joystick");
    Open();
    EXPECT_TRUE(warnings.empty());
    EXPECT_FALSE(layer.Grabbed(stick));  // a joystick is shared, not grabbed
    EXPECT_EQ(bus->in(0x201), 0xF0);
    layer.PressKey(stick, BTN_TRIGGER, true);
    Service();
    EXPECT_EQ(bus->in(0x201), 0xE0);
    // With the default masks (0x201, XOR FF, AND 10 / 20) that is the dot paddle.
    EXPECT_EQ(ports().ReadDotPaddle(), 1);
    EXPECT_EQ(ports().ReadDashPaddle(), 0);
    layer.PressKey(stick, BTN_THUMB, true);
    layer.PressKey(stick, BTN_TRIGGER, false);
    Service();
    EXPECT_EQ(bus->in(0x201), 0xD0);
    EXPECT_EQ(ports().ReadDotPaddle(), 0);
    EXPECT_EQ(ports().ReadDashPaddle(), 1);
    layer.PressKey(stick, BTN_THUMB2, true);
    Service();
    EXPECT_EQ(bus->in(0x201), 0x90);  // the third button is bit 6
}

TEST_F(InputTest, KeyboardPaddleAdapterSendsCtrlKeysAndIsGrabbedAlone) {
    const int adapter = layer.AddInput(
        "/dev/input/event7", {KEY_A, KEY_Z, KEY_LEFTCTRL, KEY_RIGHTCTRL}, "Paddle adapter");
    const int keyboard = layer.AddInput("/dev/input/event3", {KEY_A, KEY_LEFTCTRL, KEY_RIGHTCTRL});
    Open();
    EXPECT_TRUE(layer.Grabbed(adapter));
    EXPECT_FALSE(layer.Grabbed(keyboard));
    EXPECT_EQ(layer.OpenCount(keyboard), 0);
    EXPECT_THAT(Notices(), HasSubstr("\"Paddle adapter\" (/dev/input/event7) gives the paddle: "
                                     "LEFTCTRL dot, RIGHTCTRL dash"));
    layer.PressKey(adapter, KEY_A, true);  // other keys mean nothing
    Service();
    EXPECT_EQ(bus->in(0x201), 0xF0);
    layer.PressKey(adapter, KEY_RIGHTCTRL, true);
    Service();
    EXPECT_EQ(ports().ReadDashPaddle(), 1);
    layer.PressKey(adapter, KEY_RIGHTCTRL, false);
    layer.PressKey(adapter, KEY_LEFTCTRL, true);
    Service();
    EXPECT_EQ(ports().ReadDotPaddle(), 1);
    EXPECT_EQ(ports().ReadDashPaddle(), 0);
    engine.reset();
    bus.reset();
    EXPECT_FALSE(layer.Grabbed(adapter));
}

TEST_F(InputTest, PaddleKeysNameTheKeysToUse) {
    const int adapter = layer.AddInput("/dev/input/event7", {KEY_Z, KEY_X, KEY_LEFTCTRL});
    Open("KEY_Z, x");
    EXPECT_TRUE(warnings.empty());
    EXPECT_TRUE(layer.Grabbed(adapter));
    layer.PressKey(adapter, KEY_LEFTCTRL, true);
    layer.PressKey(adapter, KEY_X, true);
    Service();
    EXPECT_EQ(ports().ReadDotPaddle(), 0);
    EXPECT_EQ(ports().ReadDashPaddle(), 1);
}

TEST_F(InputTest, ButtonHeldWhenTheDeviceOpensReadsClosed) {
    const int stick = layer.AddInput("/dev/input/event7", {BTN_TRIGGER, BTN_THUMB});
    layer.HoldKey(stick, BTN_THUMB);
    Open();
    EXPECT_EQ(bus->in(0x201), 0xD0);
}

TEST_F(InputTest, UnpluggedPaddleReadsOpenAndIsTakenBack) {
    const int stick = layer.AddInput("/dev/input/event7", {BTN_TRIGGER, BTN_THUMB});
    Open();
    layer.PressKey(stick, BTN_TRIGGER, true);
    Service();
    ASSERT_EQ(bus->in(0x201), 0xE0);
    layer.Unplug(stick);
    Service();
    EXPECT_EQ(bus->in(0x201), 0xF0);  // not a stuck dot
    EXPECT_THAT(Notices(), HasSubstr("GAME: /dev/input/event7 has gone"));
    EXPECT_EQ(layer.OpenDescriptors(), 0);
    layer.Plug(stick);
    now += 1000 * kMsNs;
    Service();
    EXPECT_TRUE(bus->GamePort()->IsOpen());
    EXPECT_THAT(Notices(), HasSubstr("GAME: /dev/input/event7 is back."));
    EXPECT_EQ(bus->in(0x201), 0xE0);  // still held, read from the device's state
}

TEST_F(InputTest, DevicesThatCannotServeSayWhy) {
    const int mouse = layer.AddInput("/dev/input/event7", {BTN_LEFT});
    Open();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("neither two joystick buttons nor left and right Ctrl"));
    EXPECT_EQ(bus->in(0x201), 0xF0);
    (void)mouse;
}

TEST_F(InputTest, MissingKeyRefusedAndGrabElsewhere) {
    const int adapter = layer.AddInput("/dev/input/event7", {KEY_LEFTCTRL, KEY_RIGHTCTRL});
    Open("Z,X");
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("has no Z"));
    layer.SetGrabbedElsewhere(adapter, true);
    Open();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("grabbed by another program"));
    EXPECT_EQ(layer.OpenDescriptors(), 0);
}

TEST_F(InputTest, NoPermissionPointsAtUdevOrTheInputGroup) {
    const int stick = layer.AddInput("/dev/input/event7", {BTN_TRIGGER, BTN_THUMB});
    layer.SetOpenError(stick, -EACCES);
    Open();
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_THAT(warnings[0], HasSubstr("no permission to read /dev/input/event7"));
    EXPECT_THAT(warnings[0], HasSubstr("input group"));
    EXPECT_THAT(warnings[0], HasSubstr("Telkey runs on without the paddle"));
}

TEST(PaddleKeys, NamesCodesAndMistakes) {
    PaddleKeyCodes codes{};
    std::string error;
    ASSERT_TRUE(ParsePaddleKeys("LEFTCTRL,RIGHTCTRL", codes, error));
    EXPECT_EQ(codes, (PaddleKeyCodes{KEY_LEFTCTRL, KEY_RIGHTCTRL}));
    ASSERT_TRUE(ParsePaddleKeys("key_leftbrace,KEY_RIGHTBRACE", codes, error));
    EXPECT_EQ(codes, (PaddleKeyCodes{KEY_LEFTBRACE, KEY_RIGHTBRACE}));
    ASSERT_TRUE(ParsePaddleKeys("29,0x61", codes, error));
    EXPECT_EQ(codes, (PaddleKeyCodes{KEY_LEFTCTRL, KEY_RIGHTCTRL}));
    ASSERT_TRUE(ParsePaddleKeys("BTN_LEFT,BTN_RIGHT", codes, error));
    EXPECT_EQ(codes, (PaddleKeyCodes{BTN_LEFT, BTN_RIGHT}));
    EXPECT_FALSE(ParsePaddleKeys("LEFTCTRL", codes, error));
    EXPECT_THAT(error, HasSubstr("--paddle-keys="));
    EXPECT_FALSE(ParsePaddleKeys("LEFTCTRL,NOSUCHKEY", codes, error));
    EXPECT_FALSE(ParsePaddleKeys("Z,z", codes, error));
    EXPECT_FALSE(ParsePaddleKeys("0x99999,1", codes, error));
    EXPECT_FALSE(ParsePaddleKeys(",", codes, error));
}

TEST(PaddleKeys, BadValueStopsTheDevicesBackend) {
    PortBusOptions options;
    options.ports = "devices";
    options.speaker = "none";
    options.paddleKeys = "LEFTCTRL";
    const PortBusResult result = MakePortBus(options);
    EXPECT_EQ(result.bus, nullptr);
    EXPECT_THAT(result.error, HasSubstr("--paddle-keys="));
}

}  // namespace
}  // namespace telkey::test
