// The main window without sight and without a mouse: names for screen readers, the Tab order,
// the keys that work the arrows and the menu bar, and what the screen reader is told.
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProxyStyle>
#include <QPushButton>
#include <QToolButton>
#include <tuple>
#include <vector>

#include "ui/main_form.h"
#include "widgets/announcer.h"
#include "widgets/submenu_names.h"

namespace telkey {

namespace {

// Words per minute are letters per minute over five.
constexpr double kLettersPerWord = 5.0;

// Alt pressed and released alone takes the keyboard to the menu bar, as desktops of the
// window's design do; the platform's own style may not.
class AltKeyMenuStyle : public QProxyStyle {
  public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override {
        if (hint == SH_MenuBar_AltKeyNavigation) return 1;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

}  // namespace

void TForm1::BuildAccess() {
    // What a screen reader calls them; the captions and hints stay as designed.
    SpeedEdit->setAccessibleName(QStringLiteral("Speed, letters per minute"));
    SpeedUpDown->SetArrowNames(QStringLiteral("Speed up"), QStringLiteral("Speed down"));
    DashDotEdit->setAccessibleName(QStringLiteral("Dash/dot ratio"));
    DashDotUpDown->SetArrowNames(QStringLiteral("Dash/dot ratio up"),
                                 QStringLiteral("Dash/dot ratio down"));
    OnTopButton->setAccessibleName(QStringLiteral("Always on top"));
    YambButton->setAccessibleName(QStringLiteral("Iamb"));
    TxButton->setAccessibleName(QStringLiteral("Transmit"));
    PauseButton->setAccessibleName(QStringLiteral("Pause"));
    SpeakerButton->setAccessibleName(QStringLiteral("Speaker"));
    // The labels' letters alone ("C:") say little to a screen reader's user, which reads a
    // field by its label.
    for (const auto& [label, edit, name] :
         {std::tuple{CallLabel, CallEdit, "Call"}, std::tuple{RSTLabel, RSTEdit, "RST"},
          std::tuple{NameLabel, NameEdit, "Name"}, std::tuple{OtherLabel, OtherEdit, "Other"}}) {
        label->setAccessibleName(QLatin1String(name));
        edit->setAccessibleName(QLatin1String(name));
    }
    Sent->setAccessibleName(QStringLiteral("Sent window"));
    Input->setAccessibleName(QStringLiteral("Transmit window"));
    // The blanks only place the two words on screen; a screen reader reads the words.
    InstallSubmenuItemNames();
    Delayms1->setAccessibleName(QStringLiteral("Delay"));
    RXOn8DotsSilence1->setAccessibleName(QStringLiteral("Silence len"));

    // Up and Down in the edit boxes step as their arrows do.
    SpeedUpDown->StepWithArrowKeys(SpeedEdit);
    DashDotUpDown->StepWithArrowKeys(DashDotEdit);
    // Tab reaches Sent and the arrows move through it, so what was sent can be read again.
    Sent->setFocusPolicy(Qt::StrongFocus);
    Sent->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    Sent->setTabChangesFocus(true);
    // A tab character would be keyed as nothing; Tab moves on instead.
    Input->setTabChangesFocus(true);
    SetTabOrder();

    QMenuBar* bar = menuBar();
    auto* altKeyStyle = new AltKeyMenuStyle;
    altKeyStyle->setParent(bar);
    bar->setStyle(altKeyStyle);

    announcer = new Announcer(this);
}

void TForm1::SetTabOrder() {
    // Row by row, left to right, as the window reads; from Input, Tab starts again at the top.
    std::vector<QWidget*> order{SpeedEdit, DashDotEdit, OnTopButton,  YambButton,
                                TxButton,  PauseButton, SpeakerButton};
    order.insert(order.end(), ButMacro.begin(), ButMacro.end());
    order.insert(order.end(),
                 {ClearEditButton, CallEdit, RSTEdit, NameEdit, OtherEdit, Sent, Input});
    for (std::size_t i = 1; i < order.size(); ++i) setTabOrder(order[i - 1], order[i]);
}

void TForm1::AnnounceSpeed(std::int32_t lpm) {
    // The first speed is the one the window starts with, not news.
    if (announcedSpeed_ != 0 && lpm != announcedSpeed_) {
        announcer->Announce(QStringLiteral("Speed %1 LPM, %2 WPM")
                                .arg(lpm)
                                .arg(QString::number(lpm / kLettersPerWord, 'g', 3)));
    }
    announcedSpeed_ = lpm;
}

}  // namespace telkey
