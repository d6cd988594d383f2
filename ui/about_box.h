#pragma once
// The About box: program name and version, authorship, an e-mail link (hidden while Telkey has
// no address), the licence notice and a link to the licence.
#include <QDialog>
#include <QUrl>
#include <functional>

class QLabel;
class QPushButton;

namespace telkey {

class TAbout : public QDialog {
    Q_OBJECT

  public:
    static constexpr int kClientWidth = 342;
    static constexpr int kClientHeight = 208;

    explicit TAbout(QWidget* parent = nullptr);

    // OK: ends the modal display with the result OK.
    void Button1Click();
    // The e-mail link and the web link, opened by the desktop's default handler.
    void Label2Click();
    void Label4Click();

    static QUrl MailLink();
    static QUrl WebLink();

    QLabel* TitleLabel;
    QLabel* AuthorLabel;
    QLabel* Label2;  // e-mail link
    QLabel* ContactLabel;
    QLabel* Label4;  // web link
    QPushButton* Button1;

    // Opens a link; the result is not examined. Tests put a recorder here.
    std::function<void(const QUrl&)> openUrl;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

}  // namespace telkey
