#include "widgets/announcer.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace telkey {

namespace {

QAccessibleInterface* AnnouncerInterface(const QString& className, QObject* object) {
    if (className != QLatin1String(Announcer::staticMetaObject.className())) return nullptr;
    auto* widget = qobject_cast<QWidget*>(object);
    return widget != nullptr ? new QAccessibleWidget(widget, QAccessible::Notification) : nullptr;
}

}  // namespace

void InstallAnnouncerAccessibility() {
    static const bool installed = [] {
        QAccessible::installFactory(&AnnouncerInterface);
        return true;
    }();
    (void)installed;
}

Announcer::Announcer(QWidget* parent) : QWidget(parent) {
    InstallAnnouncerAccessibility();
    setObjectName(QStringLiteral("Announcer"));
    setFocusPolicy(Qt::NoFocus);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    // One pixel in the corner: shown, so that it can be shown anew, but never in the way.
    setGeometry(0, 0, 1, 1);
    hide();
}

void Announcer::Announce(const QString& text) {
    setAccessibleName(text);
    // Hidden and shown again: the screen reader hears a notification appear with the text.
    hide();
    show();
    lower();
}

}  // namespace telkey
