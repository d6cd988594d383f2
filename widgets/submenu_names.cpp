#include "widgets/submenu_names.h"

#include <QAccessible>
#include <QAccessibleActionInterface>
#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>

namespace telkey {

namespace {

// The menu or menu bar that holds `action`.
QWidget* Holder(QAction* action) {
    for (QObject* object : action->associatedObjects()) {
        auto* widget = qobject_cast<QWidget*>(object);
        if ((qobject_cast<QMenu*>(widget) != nullptr ||
             qobject_cast<QMenuBar*>(widget) != nullptr) &&
            widget->actions().contains(action)) {
            return widget;
        }
    }
    return nullptr;
}

// As the toolkit's own menu item reads, but named by the submenu.
class SubmenuItem : public QAccessibleInterface, public QAccessibleActionInterface {
  public:
    SubmenuItem(QAction* action, QWidget* holder) : action_(action), holder_(holder) {}

    bool isValid() const override { return action_ != nullptr && holder_ != nullptr; }
    QObject* object() const override { return action_; }
    QAccessibleInterface* parent() const override {
        return QAccessible::queryAccessibleInterface(holder_);
    }
    QAccessibleInterface* child(int index) const override {
        return index == 0 ? QAccessible::queryAccessibleInterface(action_->menu()) : nullptr;
    }
    int childCount() const override { return 1; }
    int indexOfChild(const QAccessibleInterface* child) const override {
        return child != nullptr && child->object() == action_->menu() ? 0 : -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override {
        QAccessibleInterface* menu = child(0);
        return menu != nullptr && menu->rect().contains(x, y) ? menu : nullptr;
    }
    QAccessibleInterface* focusChild() const override { return nullptr; }
    QString text(QAccessible::Text t) const override {
        if (t == QAccessible::Name) return action_->menu()->accessibleName();
        if (t == QAccessible::Accelerator) {
            const QKeySequence mnemonic = QKeySequence::mnemonic(action_->text());
            return mnemonic.toString(QKeySequence::NativeText);
        }
        return {};
    }
    void setText(QAccessible::Text /*t*/, const QString& /*text*/) override {}
    QRect rect() const override {
        QRect place;
        if (auto* menu = qobject_cast<QMenu*>(holder_.data()))
            place = menu->actionGeometry(action_);
        if (auto* bar = qobject_cast<QMenuBar*>(holder_.data()))
            place = bar->actionGeometry(action_);
        return place.translated(holder_->mapToGlobal(QPoint(0, 0)));
    }
    QAccessible::Role role() const override { return QAccessible::MenuItem; }
    QAccessible::State state() const override {
        QAccessible::State s;
        s.invisible = !holder_->isVisible() || !action_->isVisible();
        s.disabled = !action_->isEnabled();
        s.hasPopup = true;
        if (auto* menu = qobject_cast<QMenu*>(holder_.data()))
            s.focused = menu->activeAction() == action_;
        if (auto* bar = qobject_cast<QMenuBar*>(holder_.data()))
            s.focused = bar->activeAction() == action_;
        return s;
    }
    void* interface_cast(QAccessible::InterfaceType type) override {
        return type == QAccessible::ActionInterface ? static_cast<QAccessibleActionInterface*>(this)
                                                    : nullptr;
    }

    QStringList actionNames() const override { return {showMenuAction()}; }
    QStringList keyBindingsForAction(const QString& /*actionName*/) const override { return {}; }
    void doAction(const QString& actionName) override {
        if (actionName != showMenuAction() || !action_->isEnabled()) return;
        if (action_->menu()->isVisible()) {
            action_->menu()->hide();
        } else if (auto* menu = qobject_cast<QMenu*>(holder_.data())) {
            menu->setActiveAction(action_);
        } else if (auto* bar = qobject_cast<QMenuBar*>(holder_.data())) {
            bar->setActiveAction(action_);
        }
    }

  private:
    QPointer<QAction> action_;
    QPointer<QWidget> holder_;
};

QAccessibleInterface* SubmenuItemInterface(const QString& className, QObject* object) {
    if (className != QLatin1String("QAction")) return nullptr;
    auto* action = qobject_cast<QAction*>(object);
    if (action == nullptr || action->menu() == nullptr ||
        action->menu()->accessibleName().isEmpty()) {
        return nullptr;
    }
    QWidget* holder = Holder(action);
    return holder != nullptr ? new SubmenuItem(action, holder) : nullptr;
}

}  // namespace

void InstallSubmenuItemNames() {
    static const bool installed = [] {
        QAccessible::installFactory(&SubmenuItemInterface);
        return true;
    }();
    (void)installed;
}

}  // namespace telkey
