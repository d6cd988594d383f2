#pragma once
// The Station dialog's rig: PTT and Key by the port's line or the rig (CAT), where the rig is
// (rigctld's address, or a model on a serial port), and the rig's own tests: PTT for one second
// and "TEST" through its keyer, with what the rig answered in words. Nothing here waits on the
// rig: the answers come back through the event loop.
#include <QGroupBox>
#include <QTimer>
#include <functional>
#include <memory>

#include "rig/rig_choice.h"
#include "rig/rig_link.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace telkey {

class StationRigGroup : public QGroupBox {
    Q_OBJECT

  public:
    static constexpr int kTestMs = 1000;
    // The link already in use for `target`, or null: the tests then open one of their own.
    using LinkFor = std::function<rig::RigLink*(const rig::RigTarget& target)>;

    StationRigGroup(const rig::RigChoice& current, LinkFor linkFor, QWidget* parent = nullptr);
    ~StationRigGroup() override;

    // The choice the controls stand for.
    rig::RigChoice Choice() const;
    // Ends a test under way: the rig's PTT goes off.
    void StopTests();

    QComboBox* RigPtt;
    QComboBox* RigKey;
    QComboBox* RigKind;
    QLineEdit* RigAddress;
    QSpinBox* RigModel;
    QLineEdit* RigPort;
    QSpinBox* RigBaud;
    QPushButton* RigPttTest;
    QPushButton* RigCwTest;
    QLabel* RigAnswer;
    QLabel* RigNote;
    QTimer pttTestTimer;

  private:
    void ShowNotes();
    // The link for the chosen target, opened when the target changed; null with the reason
    // shown when the target cannot be used.
    rig::RigLink* TestLink();
    void StartPttTest();
    void EndPttTest();
    void StartCwTest();
    // Shows the answer of `ticket` when it comes, on the window thread.
    void ShowAnswer(const rig::RigTicketPtr& ticket, const QString& done);
    void Answered(const QString& text, bool ok);

    LinkFor linkFor_;
    std::unique_ptr<rig::RigLink> ownLink_;
    rig::RigLink* pttLink_ = nullptr;  // the link whose PTT the running test switched on
};

}  // namespace telkey
