#include "widgets/announcer.h"

#include "widgets/accessible_roles.h"

namespace telkey {

Announcer::Announcer(QWidget* parent) : QWidget(parent) {
    InstallAccessibleRoles();
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
