#include "ui/station_rig_group.h"

#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSpinBox>

namespace telkey {

namespace {

constexpr int kLastModel = 99999;
constexpr int kHighestBaud = 115200;
constexpr int kNoteWidth = 400;
constexpr char kTestText[] = "TEST";
constexpr int kAnswerLookMs = 20;

template <class T>
T* Named(T* widget, const char* name) {
    widget->setObjectName(QLatin1String(name));
    return widget;
}

bool SameTarget(const rig::RigTarget& a, const rig::RigTarget& b) {
    return a.kind == b.kind &&
           (a.kind == rig::RigTarget::Kind::Rigctld ? a.host == b.host && a.port == b.port
                                                    : a.model == b.model && a.device == b.device);
}

}  // namespace

StationRigGroup::StationRigGroup(const rig::RigChoice& current, LinkFor linkFor, QWidget* parent)
    : QGroupBox(QStringLiteral("Rig (Hamlib)"), parent), linkFor_(std::move(linkFor)) {
    setObjectName(QStringLiteral("RigGroup"));
    auto* grid = new QGridLayout(this);
    RigPtt = Named(new QComboBox(this), "RigPtt");
    RigPtt->addItems({QStringLiteral("line of the key port"), QStringLiteral("rig (CAT)"),
                      QStringLiteral("both")});
    RigKey = Named(new QComboBox(this), "RigKey");
    RigKey->addItems(
        {QStringLiteral("line of the key port"), QStringLiteral("the rig's keyer (CAT)")});
    RigKind = Named(new QComboBox(this), "RigKind");
    RigKind->addItems({QStringLiteral("rigctld at"), QStringLiteral("rig on a serial port")});
    RigAddress = Named(new QLineEdit(this), "RigAddress");
    RigAddress->setPlaceholderText(QStringLiteral("localhost:4532"));
    RigModel = Named(new QSpinBox(this), "RigModel");
    RigModel->setRange(0, kLastModel);
    RigModel->setPrefix(QStringLiteral("model "));
    RigModel->setToolTip(QStringLiteral("Hamlib's model number: rigctl -l lists them"));
    RigPort = Named(new QLineEdit(this), "RigPort");
    RigPort->setPlaceholderText(QStringLiteral("/dev/ttyUSB0"));
    RigBaud = Named(new QSpinBox(this), "RigBaud");
    RigBaud->setRange(0, kHighestBaud);
    RigBaud->setSpecialValueText(QStringLiteral("model's speed"));
    RigPttTest = Named(new QPushButton(QStringLiteral("Test PTT"), this), "RigPttTest");
    RigCwTest = Named(new QPushButton(QStringLiteral("Test CW"), this), "RigCwTest");
    RigAnswer = Named(new QLabel(this), "RigAnswer");
    RigAnswer->setWordWrap(true);
    RigAnswer->setTextInteractionFlags(Qt::TextSelectableByMouse);
    RigNote = Named(new QLabel(this), "RigNote");
    RigNote->setWordWrap(true);
    RigNote->setMinimumWidth(kNoteWidth);

    grid->addWidget(new QLabel(QStringLiteral("PTT:"), this), 0, 0);
    grid->addWidget(RigPtt, 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("Key:"), this), 0, 2);
    grid->addWidget(RigKey, 0, 3);
    grid->addWidget(RigKind, 1, 0, 1, 2);
    grid->addWidget(RigAddress, 1, 2, 1, 2);
    grid->addWidget(RigModel, 2, 0, 1, 2);
    auto* serialPort = new QHBoxLayout;
    serialPort->addWidget(RigPort, 1);
    serialPort->addWidget(RigBaud);
    grid->addLayout(serialPort, 2, 2, 1, 2);
    auto* tests = new QHBoxLayout;
    tests->addWidget(RigPttTest);
    tests->addWidget(RigCwTest);
    tests->addStretch();
    grid->addLayout(tests, 3, 0, 1, 4);
    grid->addWidget(RigAnswer, 4, 0, 1, 4);
    grid->addWidget(RigNote, 5, 0, 1, 4);

    RigPtt->setCurrentIndex(static_cast<int>(current.ptt));
    RigKey->setCurrentIndex(static_cast<int>(current.key));
    const bool serial = current.target.kind == rig::RigTarget::Kind::Serial;
    RigKind->setCurrentIndex(serial ? 1 : 0);
    RigAddress->setText(QString::fromStdString(rig::RigctldAddress(current.target)));
    RigModel->setValue(current.target.model);
    RigPort->setText(QString::fromStdString(current.target.device));
    RigBaud->setValue(current.target.baud);
    ShowNotes();

    pttTestTimer.setSingleShot(true);
    pttTestTimer.setInterval(kTestMs);
    connect(&pttTestTimer, &QTimer::timeout, this, &StationRigGroup::EndPttTest);
    connect(RigPttTest, &QPushButton::clicked, this, &StationRigGroup::StartPttTest);
    connect(RigCwTest, &QPushButton::clicked, this, &StationRigGroup::StartCwTest);
    for (QComboBox* box : {RigPtt, RigKey, RigKind}) {
        connect(box, &QComboBox::currentIndexChanged, this, &StationRigGroup::ShowNotes);
    }
}

StationRigGroup::~StationRigGroup() {
    StopTests();
}

rig::RigChoice StationRigGroup::Choice() const {
    rig::RigChoice choice;
    choice.ptt = static_cast<rig::PttVia>(RigPtt->currentIndex());
    choice.key = static_cast<rig::KeyVia>(RigKey->currentIndex());
    std::string ignored;
    const std::string address = RigAddress->text().trimmed().toStdString();
    if (!address.empty()) rig::ParseRigctldAddress(address, choice.target, ignored);
    if (RigKind->currentIndex() == 1) {
        choice.target.kind = rig::RigTarget::Kind::Serial;
        choice.target.model = RigModel->value();
        choice.target.device = RigPort->text().trimmed().toStdString();
        choice.target.baud = RigBaud->value();
    }
    return choice;
}

void StationRigGroup::ShowNotes() {
    const bool serial = RigKind->currentIndex() == 1;
    RigAddress->setEnabled(!serial);
    for (QWidget* w : std::initializer_list<QWidget*>{RigModel, RigPort, RigBaud}) {
        w->setEnabled(serial);
    }
    QStringList notes;
    if (RigKey->currentIndex() == static_cast<int>(rig::KeyVia::Rig)) {
        notes << QStringLiteral(
            "The rig's keyer sends the text: plug the paddle into the rig's key jack. "
            "Telkey's paddle input is off.");
    }
    if (serial && Choice().UsesRig()) {
        notes << QStringLiteral(
            "Should Telkey hang or die, its guardian cannot switch a rig on a serial port off. "
            "Use rigctld, or set the rig's own transmit timeout.");
    }
    RigNote->setText(notes.join(QLatin1Char(' ')));
}

rig::RigLink* StationRigGroup::TestLink() {
    const rig::RigChoice choice = Choice();
    if (choice.target.kind == rig::RigTarget::Kind::Serial && choice.target.device.empty()) {
        Answered(QStringLiteral("Name the rig's serial port first."), false);
        return nullptr;
    }
    if (rig::RigLink* inUse = linkFor_ ? linkFor_(choice.target) : nullptr) return inUse;
    if (!ownLink_ || !SameTarget(ownLink_->Target(), choice.target)) {
        ownLink_ = std::make_unique<rig::RigLink>(choice.target);
    }
    return ownLink_.get();
}

void StationRigGroup::StartPttTest() {
    rig::RigLink* link = TestLink();
    if (link == nullptr || pttTestTimer.isActive()) return;
    pttLink_ = link;
    RigAnswer->setText(QStringLiteral("PTT on..."));
    ShowAnswer(link->SetPtt(true), QStringLiteral("PTT on for one second"));
    pttTestTimer.start();
}

void StationRigGroup::EndPttTest() {
    pttTestTimer.stop();
    if (pttLink_ != nullptr) pttLink_->SetPtt(false);
    pttLink_ = nullptr;
}

void StationRigGroup::StopTests() {
    if (pttTestTimer.isActive() || pttLink_ != nullptr) EndPttTest();
}

void StationRigGroup::StartCwTest() {
    rig::RigLink* link = TestLink();
    if (link == nullptr) return;
    RigAnswer->setText(QStringLiteral("Sending TEST..."));
    ShowAnswer(link->SendMorse(kTestText), QStringLiteral("TEST sent to the rig's keyer"));
}

void StationRigGroup::ShowAnswer(const rig::RigTicketPtr& ticket, const QString& done) {
    // The answer comes on the link's thread, and the link may outlive the dialog: the window
    // looks at the ticket while the test runs (its bound ends it) and shows the answer.
    QPointer<StationRigGroup> self(this);
    auto show = [self, done, ticket] {
        if (!self) return;
        const rig::RigLink* used =
            self->pttLink_ != nullptr ? self->pttLink_ : self->ownLink_.get();
        QString text = ticket->Ok() ? done : QString::fromStdString(ticket->Words());
        if (ticket->Ok() && used != nullptr) {
            // A model's name may end in a line break, which would wrap the bracket away.
            const QString words = QString::fromStdString(used->Status().words).trimmed();
            if (!words.isEmpty()) text += QStringLiteral(" (") + words + ")";
        }
        self->Answered(text, ticket->Ok());
    };
    if (!ticket->Pending()) {
        show();
        return;
    }
    auto* poll = new QTimer(this);
    poll->setInterval(kAnswerLookMs);
    connect(poll, &QTimer::timeout, this, [poll, ticket, show] {
        if (ticket->Pending()) return;
        poll->deleteLater();
        poll->stop();
        show();
    });
    poll->start();
}

void StationRigGroup::Answered(const QString& text, bool ok) {
    RigAnswer->setStyleSheet(ok ? QString() : QStringLiteral("color: #b00000;"));
    RigAnswer->setText(text);
}

}  // namespace telkey
