#include "ui/main_form.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QColorDialog>
#include <QFontDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStyle>
#include <QTimer>
#include <QToolButton>
#include <QVBoxLayout>
#include <QWindow>

#include "engine/engine.h"
#include "exchange/control_protocol.h"
#include "exchange/qso_fields.h"
#include "profile/profile_file.h"
#include "transmit/keyboard_commands.h"
#include "transmit/macro_runner.h"
#include "transmit/transmit_queue.h"
#include "transmit/tx_control.h"
#include "ui/about_box.h"
#include "ui/engine_startup.h"
#include "ui/macro_editor.h"
#include "ui/outer_geometry.h"
#include "ui/settings_file.h"
#include "ui/settings_values.h"
#include "ui/version.h"
#include "widgets/status_panels.h"
#include "widgets/text_window_style.h"
#include "widgets/widget_events.h"

namespace telkey {

namespace {

// The window's font; Qt substitutes an installed face of the same metrics on Linux.
constexpr char kWindowFontFamily[] = "MS Sans Serif";
constexpr int kWindowFontPoints = 8;
// QSO fields, and the designed Input font.
constexpr int kFieldFontPoints = 10;
// Designed Sent font.
constexpr char kSentFontFamily[] = "Courier New";
constexpr int kSentFontPoints = 9;
// Text colour of the Sent window as the settings file's defaults give it (0x808080).
const QColor kSentTextColor(0x80, 0x80, 0x80);

constexpr int kPanel1Height = 25;
constexpr int kPanel2Height = 40;
constexpr int kPanel3Height = 25;
constexpr int kSentHeight = 41;
constexpr int kSplitterWidth = 3;

// OtherEdit: designed at 399, 1, 25 x 24; it takes what the window grows beyond 435.
constexpr int kOtherEditMinWidth = 25;
constexpr int kOtherEditWidthAllowance = 410;

// The two radio submenus are captioned with 45 blanks in front of their word.
const QString kSubmenuIndent(45, QLatin1Char(' '));

struct Place {
    int left;
    int top;
    int width;
    int height;
};

QFont WindowFont() {
    return QFont(QString::fromLatin1(kWindowFontFamily), kWindowFontPoints);
}

QFont BoldFont(int points) {
    QFont font(QString::fromLatin1(kWindowFontFamily), points);
    font.setBold(true);
    return font;
}

template <typename W>
W* Named(W* widget, const char* name) {
    widget->setObjectName(QString::fromLatin1(name));
    return widget;
}

QFrame* MakePanel(QWidget* parent, const char* name, int height) {
    auto* panel = Named(new QFrame(parent), name);
    panel->setFrameStyle(QFrame::Panel | QFrame::Raised);
    panel->setLineWidth(1);
    panel->setFixedHeight(height);
    return panel;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& caption, const QFont& font,
                  int left, int top) {
    auto* label = Named(new QLabel(caption, parent), name);
    label->setFont(font);
    label->adjustSize();
    label->move(left, top);
    return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const QFont& font, Place place,
                    const QString& hint) {
    auto* edit = Named(new QLineEdit(parent), name);
    edit->setFont(font);
    edit->setGeometry(place.left, place.top, place.width, place.height);
    edit->setToolTip(hint);
    return edit;
}

UpDown* MakeUpDown(QWidget* parent, const char* name, Place place, int min, int max, int increment,
                   int position, const QString& hint) {
    auto* upDown = Named(new UpDown(parent), name);
    upDown->setGeometry(place.left, place.top, place.width, place.height);
    upDown->SetRange(min, max);
    upDown->SetIncrement(increment);
    upDown->SetPosition(position);
    upDown->setToolTip(hint);
    return upDown;
}

// A latching button: stays down when clicked, comes up at the next click.
QToolButton* MakeToggle(QWidget* parent, const char* name, const QString& caption, Place place,
                        const QString& hint) {
    auto* button = Named(new QToolButton(parent), name);
    button->setText(caption);
    button->setCheckable(true);
    button->setFont(BoldFont(kWindowFontPoints));
    button->setGeometry(place.left, place.top, place.width, place.height);
    button->setToolTip(hint);
    // A click never takes the focus from the text being typed; Tab reaches it for the keyboard.
    button->setFocusPolicy(Qt::TabFocus);
    return button;
}

QAction* MakeItem(QMenu* menu, const char* name, const QString& caption, bool checkable) {
    auto* item = Named(new QAction(caption, menu), name);
    item->setCheckable(checkable);
    menu->addAction(item);
    return item;
}

// Radio items of one submenu: caption the value, value in data().
template <std::size_t N>
QActionGroup* MakeRadioItems(QMenu* menu, const std::array<std::int32_t, N>& values,
                             const std::array<const char*, N>& names,
                             std::array<QAction*, N>& items) {
    auto* group = new QActionGroup(menu);
    group->setExclusionPolicy(QActionGroup::ExclusionPolicy::Exclusive);
    for (std::size_t i = 0; i < N; ++i) {
        auto* item = Named(new QAction(QString::number(values[i]), menu), names[i]);
        item->setCheckable(true);
        item->setData(values[i]);
        group->addAction(item);
        menu->addAction(item);
        items[i] = item;
    }
    return group;
}

constexpr std::array<const char*, kPaddleDelayChoices.size()> kDelayItemNames{
    "N21", "N52", "N102", "N152", "N202", "N301", "N501", "N1001", "N1501", "N2001", "N3001"};
constexpr std::array<const char*, kSilenceLenChoices.size()> kSilenceLenItemNames{
    "SL1", "SL2", "SL3",  "SL4",  "SL5",  "SL6",  "SL7",
    "SL8", "SL9", "SL10", "SL15", "SL20", "SL30", "SL50"};

}  // namespace

TForm1::TForm1(Engine& engine, MessageServices& messages, QWidget* parent)
    : QMainWindow(parent),
      engine(engine),
      messages(messages),
      speed(engine),
      runDialog([](QDialog& dialog) { return dialog.exec(); }),
      requestEnd([] { QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(EXIT_FAILURE); }); }),
      lastDialogColor_(Qt::black),
      outerGeometry_(OuterGeometry::Of(*this)) {
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QLatin1String(kProgramName));
    setFont(WindowFont());

    auto* client = new QWidget(this);
    client->setObjectName(QStringLiteral("Client"));
    auto* column = new QVBoxLayout(client);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    setCentralWidget(client);

    BuildPanel1();
    BuildPanel2();
    BuildPanel3();
    BuildTextWindows();
    BuildMenu();
    BuildAccess();

    column->addWidget(Panel1);
    column->addWidget(Panel2);
    column->addWidget(Panel3);
    column->addWidget(Sent);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addWidget(Splitter1);
    row->addWidget(Input, 1);
    column->addLayout(row, 1);
    column->addWidget(StatusBar);

    FontDialog1 = Named(new QFontDialog(this), "FontDialog1");
    FontDialog1->setOption(QFontDialog::DontUseNativeDialog);
    ColorDialog1 = Named(new QColorDialog(this), "ColorDialog1");
    ColorDialog1->setOption(QColorDialog::DontUseNativeDialog);

    BuildTransmit();
    BuildExchange();
    speed.Bind({SpeedEdit, SpeedUpDown, DashDotEdit, StatusBar});
    speed.timerFailed = [this](const QString& message) { ShowErrorAndEnd(message); };

    // Until the settings are loaded the controls show the defaults.
    SpeedEdit->setText(QString::number(speed.Speed));
    DashDotEdit->setText(DashDotText(speed.DashDotRatio));
    ShowKeyingOptions();

    move(kDesignedLeft, kDesignedTop);
    SetOuterSize(kDesignedWidth, kDesignedHeight);

    FormCreate();
}

TForm1::~TForm1() {
    FormDestroy();
}

void TForm1::BuildPanel1() {
    Panel1 = MakePanel(this, "Panel1", kPanel1Height);
    const QFont bold = BoldFont(kWindowFontPoints);

    SpedLabel = MakeLabel(Panel1, "SpedLabel", QStringLiteral("Speed:"), bold, 3, 6);
    SpeedEdit = MakeEdit(Panel1, "SpeedEdit", bold, {45, 2, 35, 21},
                         QStringLiteral("CW Speed (Letters per minute)"));
    SpeedUpDown = MakeUpDown(Panel1, "SpeedUpDown", {80, 2, 16, 21}, kSlowestRow, kFastestRow, 1,
                             kDefaultSpeedRow, QStringLiteral("Speed Up/Down"));
    DashDotLabel = MakeLabel(Panel1, "DashDotLabel", QStringLiteral("D/D:"), bold, 98, 6);
    DashDotEdit =
        MakeEdit(Panel1, "DashDotEdit", bold, {127, 2, 35, 21}, QStringLiteral("Dash/Dot Ratio"));
    DashDotEdit->setReadOnly(true);
    DashDotUpDown = MakeUpDown(Panel1, "DashDotUpDown", {163, 2, 16, 21}, kMinDashDotRatio,
                               kMaxDashDotRatio, kDashDotRatioStep, kDefaultDashDotRatio,
                               QStringLiteral("Dash/Dot Ratio Up/Down"));
    // The narrow boxes need their few pixels for the digits.
    SpeedEdit->setTextMargins(0, 0, 0, 0);
    DashDotEdit->setTextMargins(0, 0, 0, 0);

    OnTopButton = MakeToggle(Panel1, "OnTopButton", QStringLiteral("OnTop"), {184, 0, 55, 25},
                             QStringLiteral("Always On Top On/Off"));
    YambButton = MakeToggle(Panel1, "YambButton", QStringLiteral(" Iamb"), {241, 0, 55, 25},
                            QStringLiteral("Yamb On/Off"));
    TxButton = MakeToggle(Panel1, "TxButton", QStringLiteral("&TX"), {300, 0, 35, 25},
                          QStringLiteral("TX/RX (Alt-T, Ctrl-T, Scroll Lock)"));
    PauseButton = MakeToggle(Panel1, "PauseButton", QStringLiteral("&Pause"), {337, 0, 55, 25},
                             QStringLiteral("Pause On/Off  (Alt-P, Ctrl-P, Pause)"));
    SpeakerButton = MakeToggle(Panel1, "SpeakerButton", QString(), {396, 0, 25, 25},
                               QStringLiteral("Speaker On/Off"));
    QIcon speaker;
    speaker.addPixmap(style()->standardPixmap(QStyle::SP_MediaVolumeMuted), QIcon::Normal,
                      QIcon::Off);
    speaker.addPixmap(style()->standardPixmap(QStyle::SP_MediaVolume), QIcon::Normal, QIcon::On);
    SpeakerButton->setIcon(speaker);

    OnExit(SpeedEdit, [this] { SpeedEditExit(); });
    OnKeyPress(SpeedEdit, [this](QChar key) { SpeedEditKeyPress(key); });
    connect(SpeedUpDown, &UpDown::Click, this, &TForm1::SpeedUpDownChanging);
    connect(DashDotUpDown, &UpDown::Click, this, [this] { DashDotUpDownClick(); });
    connect(OnTopButton, &QToolButton::clicked, this, &TForm1::OnTopButtonClick);
    connect(YambButton, &QToolButton::clicked, this, &TForm1::YambButtonClick);
    connect(SpeakerButton, &QToolButton::clicked, this, &TForm1::SpeakerButtonClick);
}

void TForm1::BuildPanel2() {
    Panel2 = MakePanel(this, "Panel2", kPanel2Height);
    for (std::size_t i = 0; i < ButMacro.size(); ++i) {
        const int n = static_cast<int>(i) + 1;
        auto* button = new QPushButton(QStringLiteral("F%1").arg(n), Panel2);
        button->setObjectName(QStringLiteral("ButMacro%1").arg(n));
        button->setGeometry(5 + 35 * (n - 1), 8, 33, 25);
        button->setToolTip(QString::fromStdString(macros.slots[static_cast<std::size_t>(n)]));
        ButMacro[i] = button;
    }
}

void TForm1::BuildPanel3() {
    Panel3 = MakePanel(this, "Panel3", kPanel3Height);
    const QFont fields = BoldFont(kFieldFontPoints);

    ClearEditButton = Named(new QPushButton(QStringLiteral("Cle&ar"), Panel3), "ClearEditButton");
    ClearEditButton->setGeometry(3, 2, 32, 22);
    ClearEditButton->setToolTip(QStringLiteral("Clear Fields (Alt-A)"));

    CallLabel = MakeLabel(Panel3, "CallLabel", QStringLiteral("&C:"), fields, 36, 5);
    CallEdit =
        MakeEdit(Panel3, "CallEdit", fields, {52, 1, 111, 24}, QStringLiteral("Call (Alt-C)"));
    RSTLabel = MakeLabel(Panel3, "RSTLabel", QStringLiteral("&R:"), fields, 165, 5);
    RSTEdit = MakeEdit(Panel3, "RSTEdit", fields, {182, 1, 76, 24}, QStringLiteral("RST (Alt-R)"));
    NameLabel = MakeLabel(Panel3, "NameLabel", QStringLiteral("&N:"), fields, 262, 5);
    NameEdit =
        MakeEdit(Panel3, "NameEdit", fields, {278, 1, 100, 24}, QStringLiteral("Name (Alt-N)"));
    OtherLabel = MakeLabel(Panel3, "OtherLabel", QStringLiteral("&O:"), fields, 382, 4);
    OtherEdit = MakeEdit(Panel3, "OtherEdit", fields, {399, 1, kOtherEditMinWidth, 24},
                         QStringLiteral("Other (Alt-O)"));
    // The access letters of the labels lead to their fields.
    CallLabel->setBuddy(CallEdit);
    RSTLabel->setBuddy(RSTEdit);
    NameLabel->setBuddy(NameEdit);
    OtherLabel->setBuddy(OtherEdit);
}

void TForm1::BuildTextWindows() {
    Sent = Named(new QPlainTextEdit(this), "Sent");
    Sent->setReadOnly(true);
    Sent->setFixedHeight(kSentHeight);
    Sent->setFont(QFont(QString::fromLatin1(kSentFontFamily), kSentFontPoints));
    SetTextColor(*Sent, kSentTextColor);
    SetBackgroundColor(*Sent, Qt::white);

    Splitter1 = Named(new QFrame(this), "Splitter1");
    Splitter1->setFixedWidth(kSplitterWidth);
    Splitter1->setCursor(Qt::SplitHCursor);

    Input = Named(new QPlainTextEdit(this), "Input");
    Input->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Input->setFont(BoldFont(kFieldFontPoints));

    StatusBar = Named(new StatusPanels(this), "StatusBar");
}

void TForm1::BuildMenu() {
    QMenuBar* bar = menuBar();
    bar->setObjectName(QStringLiteral("MainMenu"));

    // Access letters for keyboard users: those of the menu bar (Alt+F, S, H) are none of the
    // window's own Alt keys (A, C, N, O, P, R, T); an item's letter acts only in its open menu.
    File1 = Named(bar->addMenu(QStringLiteral("&File")), "File1");
    Exit2 = MakeItem(File1, "Exit2", QStringLiteral("E&xit"), false);

    Setup1 = Named(bar->addMenu(QStringLiteral("&Setup")), "Setup1");
    MOX1 = MakeItem(Setup1, "MOX1", QStringLiteral("&MOX On"), true);
    MOXSetup1 = Named(Setup1->addMenu(QStringLiteral("MO&X Setup")), "MOXSetup1");
    TXOnKeyboard1 =
        MakeItem(MOXSetup1, "TXOnKeyboard1", QStringLiteral("TX On at &keyboard press"), true);
    // The two captions that follow their values come from SetPaddleDelay and SetSilenceLen.
    TxAtPaddle1 = MakeItem(MOXSetup1, "TxAtPaddle1", QString(), true);
    Delayms1 = Named(MOXSetup1->addMenu(kSubmenuIndent + QStringLiteral("&Delay")), "Delayms1");
    DelayGroup = MakeRadioItems(Delayms1, kPaddleDelayChoices, kDelayItemNames, DelayItems);
    RxAtFreeBuffer1 =
        MakeItem(MOXSetup1, "RxAtFreeBuffer1", QStringLiteral("TX Off at &free buffer"), true);
    RxAtSilence1 = MakeItem(MOXSetup1, "RxAtSilence1", QString(), true);
    RXOn8DotsSilence1 = Named(MOXSetup1->addMenu(kSubmenuIndent + QStringLiteral("Silence &len")),
                              "RXOn8DotsSilence1");
    SilenceLenGroup = MakeRadioItems(RXOn8DotsSilence1, kSilenceLenChoices, kSilenceLenItemNames,
                                     SilenceLenItems);
    PauseAtPaddle1 =
        MakeItem(Setup1, "PauseAtPaddle1", QStringLiteral("Pause On at &paddle press"), true);
    PauseOffAtRx1 = MakeItem(Setup1, "PauseOffAtRx1", QStringLiteral("Pause O&ff at TX off"), true);
    Setup1->addSeparator();
    EditMacros1 = MakeItem(Setup1, "EditMacros1", QStringLiteral("&Edit Macros"), false);
    Setup1->addSeparator();
    TxWindowFontSetup1 =
        MakeItem(Setup1, "TxWindowFontSetup1", QStringLiteral("&Tx Window Font Setup"), false);
    TxWindowBackgroundSetup1 = MakeItem(Setup1, "TxWindowBackgroundSetup1",
                                        QStringLiteral("Tx Window &Background Setup"), false);
    SentWindowFontSetup1 =
        MakeItem(Setup1, "SentWindowFontSetup1", QStringLiteral("Se&nt Window Font Setup"), false);
    SentWindowBackgroundSetup1 = MakeItem(Setup1, "SentWindowBackgroundSetup1",
                                          QStringLiteral("Sent Window Bac&kground Setup"), false);
    Station1 = MakeItem(Setup1, "Station1", QStringLiteral("&Station..."), false);
    Setup1->addSeparator();
    Savesetup1 = MakeItem(Setup1, "Savesetup1", QStringLiteral("Sa&ve setup"), false);

    Help1 = Named(bar->addMenu(QStringLiteral("&Help")), "Help1");
    About1 = MakeItem(Help1, "About1", QStringLiteral("&About"), false);

    connect(Exit2, &QAction::triggered, this, &TForm1::Exit2Click);
    connect(MOX1, &QAction::triggered, this, &TForm1::MOX1Click);
    connect(TXOnKeyboard1, &QAction::triggered, this, &TForm1::TXOnKeyboard1Click);
    connect(TxAtPaddle1, &QAction::triggered, this, &TForm1::TxAtPaddle1Click);
    connect(RxAtFreeBuffer1, &QAction::triggered, this, &TForm1::RxAtFreeBuffer1Click);
    connect(RxAtSilence1, &QAction::triggered, this, &TForm1::RxAtSilence1Click);
    connect(PauseAtPaddle1, &QAction::triggered, this, &TForm1::PauseAtPaddle1Click);
    connect(PauseOffAtRx1, &QAction::triggered, this, &TForm1::PauseOffAtRx1Click);
    for (QAction* item : DelayItems) {
        connect(item, &QAction::triggered, this,
                [this, item] { SetPaddleDelay(item->data().toInt()); });
    }
    for (QAction* item : SilenceLenItems) {
        connect(item, &QAction::triggered, this,
                [this, item] { SetSilenceLen(item->data().toInt()); });
    }
    connect(TxWindowFontSetup1, &QAction::triggered, this, &TForm1::TxWindowFontSetup1Click);
    connect(TxWindowBackgroundSetup1, &QAction::triggered, this,
            &TForm1::TxWindowBackgroundSetup1Click);
    connect(SentWindowFontSetup1, &QAction::triggered, this, &TForm1::SentWindowFontSetup1Click);
    connect(SentWindowBackgroundSetup1, &QAction::triggered, this,
            &TForm1::SentWindowBackgroundSetup1Click);
    connect(Station1, &QAction::triggered, this, &TForm1::Station1Click);
    connect(About1, &QAction::triggered, this, &TForm1::About1Click);
}

// ---- The window as a whole.

void TForm1::FormCreate() {
    options.OnTop = ReadOnTop(ProfileFile(kSettingsFileName));
    if (options.OnTop != 0) SetStayOnTop(true);
    // Control messages reach the hook first; it passes on what it does not take.
    messages.SetHandler([this](std::uint32_t msg, std::int32_t wParam, std::int32_t lParam) {
        return MainWindowHook(msg, wParam, lParam);
    });
}

void TForm1::FormResize() {
    const int width = OuterWidth();
    const int otherWidth =
        width > kDesignedWidth ? width - kOtherEditWidthAllowance : kOtherEditMinWidth;
    OtherEdit->resize(otherWidth, OtherEdit->height());
}

void TForm1::OnTopButtonClick() {
    const bool down = OnTopButton->isChecked();
    SetStayOnTop(down);
    options.OnTop = down ? 1 : 0;
}

void TForm1::SetStayOnTop(bool onTop) {
    if (StaysOnTop() == onTop) return;
    Qt::WindowFlags flags = windowFlags();
    flags.setFlag(Qt::WindowStaysOnTopHint, onTop);
    // Once the desktop has the window, only its stay-on-top state changes: new window flags would
    // make Qt build a new native window, which the desktop may frame at a shifted place.
    if (QWindow* handle = windowHandle()) {
        overrideWindowFlags(flags);
        handle->setFlags(flags);
    } else {
        setWindowFlags(flags);
    }
}

bool TForm1::StaysOnTop() const {
    return windowFlags().testFlag(Qt::WindowStaysOnTopHint);
}

int TForm1::OuterWidth() const {
    return outerGeometry_.Outer().width();
}

int TForm1::OuterHeight() const {
    return outerGeometry_.Outer().height();
}

void TForm1::SetOuterSize(int width, int height) {
    outerGeometry_.SetWidth(width);
    outerGeometry_.SetHeight(height);
}

void TForm1::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    FormResize();
}

void TForm1::closeEvent(QCloseEvent* event) {
    event->accept();
    // The main window ends the program, even while the macro editor is open.
    QCoreApplication::quit();
}

void TForm1::Exit2Click() {
    close();
}

void TForm1::About1Click() {
    if (About == nullptr) About = new TAbout(this);
    runDialog(*About);
}

void TForm1::ShowErrorAndEnd(const QString& message) {
    boxes->ShowError(QLatin1String(kErrorTitle), message);
    if (requestEnd) requestEnd();
}

// ---- Fonts and colours of the text windows.

void TForm1::FontSetup(QPlainTextEdit& window) {
    FontDialog1->setCurrentFont(window.font());
    if (runDialog(*FontDialog1) == QDialog::Accepted) window.setFont(FontDialog1->currentFont());
}

void TForm1::BackgroundSetup(QPlainTextEdit& window) {
    // The dialog proposes what it returned last, not the window's colour.
    ColorDialog1->setCurrentColor(lastDialogColor_);
    if (runDialog(*ColorDialog1) != QDialog::Accepted) return;
    lastDialogColor_ = ColorDialog1->currentColor();
    SetBackgroundColor(window, lastDialogColor_);
}

void TForm1::TxWindowFontSetup1Click() {
    FontSetup(*Input);
}

void TForm1::TxWindowBackgroundSetup1Click() {
    BackgroundSetup(*Input);
}

void TForm1::SentWindowFontSetup1Click() {
    FontSetup(*Sent);
}

void TForm1::SentWindowBackgroundSetup1Click() {
    BackgroundSetup(*Sent);
}

// ---- Speed controls.

void TForm1::SpeedEditExit() {
    speed.SpeedEditExit();
}

void TForm1::SpeedEditKeyPress(QChar key) {
    if (key == QLatin1Char('\r')) speed.SpeedEditExit();
}

void TForm1::SpeedUpDownChanging(UpDown::Button button) {
    speed.SpeedUpDownChanging(button == UpDown::Button::Up);
}

void TForm1::DashDotUpDownClick() {
    speed.DashDotUpDownClick(DashDotUpDown->Position());
}

}  // namespace telkey
