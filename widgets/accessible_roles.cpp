#include "widgets/accessible_roles.h"

#include <QAccessible>
#include <QAccessibleWidget>

#include "widgets/announcer.h"
#include "widgets/status_panels.h"

namespace telkey {

namespace {

QAccessibleInterface* RoleInterface(const QString& className, QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (widget == nullptr) return nullptr;
    if (className == QLatin1String(Announcer::staticMetaObject.className())) {
        return new QAccessibleWidget(widget, QAccessible::Notification);
    }
    if (className == QLatin1String(StatusPanels::staticMetaObject.className())) {
        return new QAccessibleWidget(widget, QAccessible::StatusBar);
    }
    return nullptr;
}

}  // namespace

void InstallAccessibleRoles() {
    static const bool installed = [] {
        QAccessible::installFactory(&RoleInterface);
        return true;
    }();
    (void)installed;
}

}  // namespace telkey
