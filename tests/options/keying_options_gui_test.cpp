// The keying options in the menu and on the tool panel: check items, the two radio submenus with
// the captions they rewrite, and the Speaker, Iamb and OnTop buttons.
#include "options/keying_options.h"

#include <gtest/gtest.h>

#include <QAction>
#include <QActionGroup>
#include <QToolButton>
#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "support/window_fixture.h"

namespace telkey {
namespace {

class KeyingOptionsTest : public ::testing::Test {
  protected:
    QAction* Item(const char* name) const {
        auto* item = w.form.findChild<QAction*>(QLatin1String(name));
        EXPECT_NE(item, nullptr) << name;
        return item;
    }
    QStringList CheckedIn(QActionGroup* group) const {
        QStringList names;
        for (QAction* item : group->actions()) {
            if (item->isChecked()) names << item->objectName();
        }
        return names;
    }

    test::WindowFixture w;
};

TEST_F(KeyingOptionsTest, DefaultsShowBeforeTheSettingsAreLoaded) {
    EXPECT_FALSE(Item("MOX1")->isChecked());
    EXPECT_TRUE(Item("TXOnKeyboard1")->isChecked());
    EXPECT_TRUE(Item("TxAtPaddle1")->isChecked());
    EXPECT_FALSE(Item("RxAtFreeBuffer1")->isChecked());
    EXPECT_TRUE(Item("RxAtSilence1")->isChecked());
    EXPECT_FALSE(Item("PauseAtPaddle1")->isChecked());
    EXPECT_FALSE(Item("PauseOffAtRx1")->isChecked());
    EXPECT_EQ(CheckedIn(w.form.DelayGroup), QStringList{"N102"});
    EXPECT_EQ(CheckedIn(w.form.SilenceLenGroup), QStringList{"SL8"});
    EXPECT_TRUE(w.form.YambButton->isChecked());
    EXPECT_FALSE(w.form.SpeakerButton->isChecked());
    EXPECT_FALSE(w.form.OnTopButton->isChecked());
}

TEST_F(KeyingOptionsTest, EachCheckItemFlipsItsFlagAndItsCheckMark) {
    struct Case {
        const char* item;
        std::function<std::int32_t()> flag;
    };
    KeyerSettings& keyer = w.engine.keyerSettings;
    KeyingOptions& options = w.form.options;
    const Case cases[] = {
        {"MOX1", [&] { return keyer.MoxOn.load(); }},
        {"TXOnKeyboard1", [&] { return options.TxAtKeyboard; }},
        {"TxAtPaddle1", [&] { return keyer.TxAtPaddle.load(); }},
        {"RxAtFreeBuffer1", [&] { return options.RxAtFreeBuffer; }},
        {"RxAtSilence1", [&] { return keyer.RxAtSilence.load(); }},
        {"PauseAtPaddle1", [&] { return keyer.PauseAtPaddle.load(); }},
        {"PauseOffAtRx1", [&] { return options.PauseOffAtRx; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.item);
        QAction* item = Item(c.item);
        const std::int32_t before = c.flag();
        item->trigger();
        EXPECT_EQ(c.flag(), 1 - before);
        EXPECT_EQ(item->isChecked(), c.flag() != 0);
        item->trigger();
        EXPECT_EQ(c.flag(), before);
        EXPECT_EQ(item->isChecked(), before != 0);
    }
}

TEST_F(KeyingOptionsTest, SwitchingMoxOffLeavesTheTransmitterAlone) {
    Item("MOX1")->trigger();
    w.engine.flags.Transmitting.store(1);
    Item("MOX1")->trigger();
    EXPECT_EQ(w.engine.keyerSettings.MoxOn.load(), 0);
    EXPECT_EQ(w.engine.flags.Transmitting.load(), 1);
}

TEST_F(KeyingOptionsTest, ChoosingADelayRewritesTheCaptionAndMovesTheCheckMark) {
    Item("N1501")->trigger();
    EXPECT_EQ(w.engine.keyerSettings.PaddleDelay.load(), 150);
    EXPECT_EQ(Item("TxAtPaddle1")->text(), "TX On at &paddle press with 150 ms keying delay");
    EXPECT_EQ(CheckedIn(w.form.DelayGroup), QStringList{"N1501"});
    // Choosing the checked item again keeps it checked.
    Item("N1501")->trigger();
    EXPECT_EQ(CheckedIn(w.form.DelayGroup), QStringList{"N1501"});
}

TEST_F(KeyingOptionsTest, ChoosingASilenceLengthRewritesTheCaption) {
    Item("SL30")->trigger();
    EXPECT_EQ(w.engine.keyerSettings.SilenceLen.load(), 30);
    EXPECT_EQ(Item("RxAtSilence1")->text(), "TX Off at 30 dots &silence");
    EXPECT_EQ(CheckedIn(w.form.SilenceLenGroup), QStringList{"SL30"});
}

TEST_F(KeyingOptionsTest, AValueOutsideTheListLeavesNoItemChecked) {
    w.form.SetSilenceLen(12);
    EXPECT_EQ(w.engine.keyerSettings.SilenceLen.load(), 12);
    EXPECT_EQ(Item("RxAtSilence1")->text(), "TX Off at 12 dots &silence");
    EXPECT_TRUE(CheckedIn(w.form.SilenceLenGroup).isEmpty());

    w.form.SetPaddleDelay(0);
    EXPECT_EQ(Item("TxAtPaddle1")->text(), "TX On at &paddle press with 0 ms keying delay");
    EXPECT_TRUE(CheckedIn(w.form.DelayGroup).isEmpty());

    // A listed value afterwards checks its item again.
    w.form.SetSilenceLen(50);
    EXPECT_EQ(CheckedIn(w.form.SilenceLenGroup), QStringList{"SL50"});
}

TEST_F(KeyingOptionsTest, RadioItemsCarryTheirValues) {
    QStringList delays;
    for (QAction* item : w.form.DelayGroup->actions()) delays << item->text();
    EXPECT_EQ(delays,
              (QStringList{"2", "5", "10", "15", "20", "30", "50", "100", "150", "200", "300"}));
    QStringList lengths;
    for (QAction* item : w.form.SilenceLenGroup->actions()) lengths << item->text();
    EXPECT_EQ(lengths, (QStringList{"1", "2", "3", "4", "5", "6", "7", "8", "9", "10", "15", "20",
                                    "30", "50"}));
    for (QAction* item : w.form.DelayGroup->actions()) {
        EXPECT_EQ(item->data().toInt(), item->text().toInt());
    }
}

TEST_F(KeyingOptionsTest, SpeakerAndIambButtonsSetTheirFlags) {
    w.form.SpeakerButton->click();
    EXPECT_TRUE(w.form.SpeakerButton->isChecked());
    EXPECT_EQ(w.engine.portSettings.UseSpeaker.load(), 1);
    w.form.SpeakerButton->click();
    EXPECT_EQ(w.engine.portSettings.UseSpeaker.load(), 0);

    w.form.YambButton->click();
    EXPECT_FALSE(w.form.YambButton->isChecked());
    EXPECT_EQ(w.engine.keyerSettings.IsYamb.load(), 0);
    w.form.YambButton->click();
    EXPECT_EQ(w.engine.keyerSettings.IsYamb.load(), 1);
}

TEST_F(KeyingOptionsTest, OnTopButtonKeepsTheWindowOnTop) {
    w.form.OnTopButton->click();
    EXPECT_TRUE(w.form.StaysOnTop());
    EXPECT_TRUE(w.form.isVisible());
    EXPECT_EQ(w.form.options.OnTop, 1);
    w.form.OnTopButton->click();
    EXPECT_FALSE(w.form.StaysOnTop());
    EXPECT_TRUE(w.form.isVisible());
    EXPECT_EQ(w.form.options.OnTop, 0);
}

// Whatever the controls showed before the settings were loaded, they show the loaded flags: every
// flag is stored once as the opposite of what its control showed.
TEST(LoadedKeyingOptions, ButtonsAndCheckItemsShowTheLoadedFlags) {
    for (const int stored : {0, 1}) {
        const std::string flag = std::to_string(stored);
        test::WindowFixture w("[Qor_Cw]\nUseSpeaker=" + flag + "\nIsYamb=" + flag +
                                  "\nOnTop=" + flag + "\n[MOX]\nMoxOn=" + flag +
                                  "\nTxAtKeyboard=" + flag + "\nRxAtFreeBuffer=" + flag +
                                  "\nRxAtSilence=" + flag + "\nTxAtPaddle=" + flag +
                                  "\nPauseAtPaddle=" + flag + "\nPauseOffAtRx=" + flag + "\n",
                              false);
        const bool before = stored == 0;
        for (QToolButton* button : {w.form.SpeakerButton, w.form.YambButton, w.form.OnTopButton}) {
            button->setChecked(before);
        }
        const std::vector<QAction*> items{
            w.form.MOX1,        w.form.TXOnKeyboard1,  w.form.RxAtFreeBuffer1, w.form.RxAtSilence1,
            w.form.TxAtPaddle1, w.form.PauseAtPaddle1, w.form.PauseOffAtRx1};
        for (QAction* item : items) item->setChecked(before);

        w.form.show();
        test::WindowFixture::ProcessEvents();
        for (QToolButton* button : {w.form.SpeakerButton, w.form.YambButton, w.form.OnTopButton}) {
            EXPECT_EQ(button->isChecked(), stored != 0) << button->objectName().toStdString();
        }
        for (QAction* item : items) {
            EXPECT_EQ(item->isChecked(), stored != 0) << item->objectName().toStdString();
        }
        EXPECT_EQ(w.engine.keyerSettings.IsYamb.load(), stored);
        // One click gives the other keying, as the button shows.
        w.form.YambButton->click();
        EXPECT_EQ(w.engine.keyerSettings.IsYamb.load(), 1 - stored);
        EXPECT_EQ(w.form.YambButton->isChecked(), stored == 0);
    }
}

TEST(KeyingOptionCaptions, NumbersGoIntoTheirPlaces) {
    EXPECT_EQ(PaddleDelayCaption(10), "TX On at paddle press with 10 ms keying delay");
    EXPECT_EQ(PaddleDelayCaption(-5), "TX On at paddle press with -5 ms keying delay");
    EXPECT_EQ(SilenceLenCaption(8), "TX Off at 8 dots silence");
}

}  // namespace
}  // namespace telkey
