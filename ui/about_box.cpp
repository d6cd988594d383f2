#include "ui/about_box.h"

#include <QDesktopServices>
#include <QEvent>
#include <QFont>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPalette>
#include <QPushButton>
#include <QStyle>

#include "ui/version.h"

namespace telkey {

namespace {

// Telkey has no e-mail address of its own: the e-mail line stays hidden until it has one. The
// web link is the licence.
constexpr char kMailAddress[] = "";
constexpr char kWebAddress[] = "https://www.gnu.org/licenses/gpl-3.0.html";
constexpr char kLicenceNotice[] = "Free software under the GNU GPL, version 3 or later";

const QColor kSilver(0xC0, 0xC0, 0xC0);

// Each line is centred across the whole box; tops as designed.
struct LineDesign {
    int top;
    int height;
};
constexpr LineDesign kTitleLine{12, 36};
constexpr LineDesign kAuthorLine{52, 24};
constexpr LineDesign kMailLine{84, 18};
constexpr LineDesign kContactLine{112, 18};
constexpr LineDesign kWebLine{138, 18};

QLabel* MakeLine(QWidget* parent, const char* name, const QString& text, const QFont& font,
                 LineDesign line) {
    auto* label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    label->setAlignment(Qt::AlignCenter);
    label->setGeometry(0, line.top, TAbout::kClientWidth, line.height);
    return label;
}

QLabel* MakeLink(QWidget* parent, const char* name, const QString& text, LineDesign line) {
    QFont font(QStringLiteral("MS Sans Serif"), 8);
    font.setBold(true);
    font.setUnderline(true);
    QLabel* label = MakeLine(parent, name, text, font, line);
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, Qt::blue);
    label->setPalette(palette);
    label->setCursor(Qt::PointingHandCursor);
    // Only the text itself is the link, not the whole width of the box.
    label->adjustSize();
    label->move((TAbout::kClientWidth - label->width()) / 2, line.top);
    return label;
}

}  // namespace

QUrl TAbout::MailLink() {
    return QUrl(QStringLiteral("mailto:") + QLatin1String(kMailAddress));
}

QUrl TAbout::WebLink() {
    return QUrl(QLatin1String(kWebAddress));
}

TAbout::TAbout(QWidget* parent)
    : QDialog(parent), openUrl([](const QUrl& url) { QDesktopServices::openUrl(url); }) {
    setObjectName(QStringLiteral("About"));
    setWindowTitle(QStringLiteral("About Telkey"));
    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                   Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setWindowIcon(style()->standardIcon(QStyle::SP_MessageBoxInformation));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, kSilver);
    setPalette(palette);

    QFont titleFont(QStringLiteral("Times New Roman"), 20);
    titleFont.setBold(true);
    TitleLabel = MakeLine(
        this, "TitleLabel",
        QStringLiteral("%1  V%2").arg(QLatin1String(kProgramName), QLatin1String(kProgramVersion)),
        titleFont, kTitleLine);
    QFont authorFont(QStringLiteral("MS Sans Serif"), 12);
    authorFont.setBold(true);
    AuthorLabel = MakeLine(this, "AuthorLabel", QStringLiteral("CW keyboard keyer for Linux"),
                           authorFont, kAuthorLine);
    Label2 = MakeLink(this, "Label2", QLatin1String(kMailAddress), kMailLine);
    Label2->setVisible(kMailAddress[0] != '\0');
    ContactLabel = MakeLine(this, "ContactLabel", QLatin1String(kLicenceNotice),
                            QFont(QStringLiteral("MS Sans Serif"), 8), kContactLine);
    Label4 = MakeLink(this, "Label4", QLatin1String(kWebAddress), kWebLine);
    Label2->installEventFilter(this);
    Label4->installEventFilter(this);
    // The links answer the keyboard too: Tab reaches them, Enter or Space opens them.
    for (QLabel* link : {Label2, Label4}) {
        link->setFocusPolicy(Qt::StrongFocus);
        link->setAccessibleDescription(QStringLiteral("Link: Enter opens it"));
    }
    Label4->setAccessibleName(QStringLiteral("Licence web page"));

    Button1 = new QPushButton(QStringLiteral("OK"), this);
    Button1->setObjectName(QStringLiteral("Button1"));
    Button1->setGeometry(150, 176, 50, 25);
    Button1->setDefault(true);
    connect(Button1, &QPushButton::clicked, this, &TAbout::Button1Click);
}

void TAbout::Button1Click() {
    accept();
}

void TAbout::Label2Click() {
    if (openUrl && kMailAddress[0] != '\0') openUrl(MailLink());
}

void TAbout::Label4Click() {
    if (openUrl) openUrl(WebLink());
}

bool TAbout::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Space) {
            if (watched == Label2) Label2Click();
            if (watched == Label4) Label4Click();
        }
    }
    if (event->type() == QEvent::MouseButtonRelease &&
        static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
        if (watched == Label2) Label2Click();
        if (watched == Label4) Label4Click();
    }
    return QDialog::eventFilter(watched, event);
}

}  // namespace telkey
