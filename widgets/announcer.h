#pragma once
// Tells a screen reader what just happened (transmit on, a new speed) wherever the focus is: a
// blank, unfocusable strip whose accessible role is a notification. Each announcement becomes
// its accessible name and shows it anew, which screen readers such as Orca speak at once.
#include <QString>
#include <QWidget>

namespace telkey {

class Announcer : public QWidget {
    Q_OBJECT

  public:
    explicit Announcer(QWidget* parent = nullptr);

    void Announce(const QString& text);
    QString LastAnnouncement() const { return accessibleName(); }
};

}  // namespace telkey
