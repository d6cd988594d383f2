#pragma once
// The main window's status bar: six fixed panels side by side, no size grip.
#include <QString>
#include <QWidget>
#include <array>

class QLabel;

namespace telkey {

class StatusPanels : public QWidget {
    Q_OBJECT

  public:
    static constexpr int kPanels = 6;
    static constexpr int kHeight = 23;

    explicit StatusPanels(QWidget* parent = nullptr);

    // The bar's tooltip is made of lines from several owners, in this order; an empty line is
    // left out.
    enum class TipLine { kWaiting, kScheduling, kGuardian, kCount };
    void SetTipLine(TipLine line, const QString& text);

    void SetPanelText(int i, const QString& text);
    QString PanelText(int i) const;
    QLabel* Panel(int i) const { return panels_.at(static_cast<std::size_t>(i)); }

  private:
    std::array<QLabel*, kPanels> panels_{};
    std::array<QString, static_cast<std::size_t>(TipLine::kCount)> tipLines_;
};

}  // namespace telkey
