#include "widgets/status_panels.h"

#include <QLabel>
#include <QStringList>

#include "widgets/accessible_roles.h"

namespace telkey {

namespace {

struct PanelDesign {
    int width;
    Qt::Alignment alignment;
    const char* text;
};

constexpr std::array<PanelDesign, StatusPanels::kPanels> kPanelDesign{{
    {25, Qt::AlignRight | Qt::AlignVCenter, ""},
    {25, Qt::AlignLeft | Qt::AlignVCenter, ""},
    {25, Qt::AlignLeft | Qt::AlignVCenter, ""},
    {150, Qt::AlignCenter, "6000.0  LPM   1500.0 WPM"},
    {50, Qt::AlignCenter, ""},
    {50, Qt::AlignCenter, "RX"},
}};

constexpr int kPanelGap = 2;
constexpr int kTopMargin = 2;

}  // namespace

StatusPanels::StatusPanels(QWidget* parent) : QWidget(parent) {
    InstallAccessibleRoles();
    setAccessibleName(QStringLiteral("Status bar"));
    setFixedHeight(kHeight);
    // Fixed places, no layout: a narrow window cuts the panels off instead of staying wide.
    int left = 0;
    for (int i = 0; i < kPanels; ++i) {
        const PanelDesign& design = kPanelDesign[static_cast<std::size_t>(i)];
        auto* panel = new QLabel(QString::fromLatin1(design.text), this);
        panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        panel->setGeometry(left, kTopMargin, design.width, kHeight - kTopMargin);
        panel->setAlignment(design.alignment);
        panel->setTextFormat(Qt::PlainText);
        panel->setIndent(2);
        panels_[static_cast<std::size_t>(i)] = panel;
        left += design.width + kPanelGap;
    }
}

void StatusPanels::SetTipLine(TipLine line, const QString& text) {
    tipLines_.at(static_cast<std::size_t>(line)) = text;
    QStringList shown;
    for (const QString& tip : tipLines_) {
        if (!tip.isEmpty()) shown.append(tip);
    }
    setToolTip(shown.join(QLatin1Char('\n')));
}

void StatusPanels::SetPanelText(int i, const QString& text) {
    Panel(i)->setText(text);
}

QString StatusPanels::PanelText(int i) const {
    return Panel(i)->text();
}

}  // namespace telkey
