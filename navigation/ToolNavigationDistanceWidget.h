#pragma once

#include <optional>

#include <QString>
#include <QWidget>

namespace Kelvaros
{

class ToolNavigationVisualizationController;

/// The distance bar of the navigation panel: above, the path length still to go to the target (whole mm, tenths
/// once inside the target radius), or "—" with the reason while the needle's figures cannot be trusted, or "No
/// path"; below, the path from entry (left) to target (right) with a dot per ring and a red tick at the needle
/// (none without a trusted needle). Repaints on the panel's changed(). Main thread only; a child of its panel.
class ToolNavigationDistanceWidget : public QWidget
{
    Q_OBJECT
    // Painted, not a label: a host that does not link the plug-in reads what the bar shows through this.
    Q_PROPERTY(QString shownText READ shownText)

public:
    explicit ToolNavigationDistanceWidget(ToolNavigationVisualizationController* panel);

    [[nodiscard]] QSize minimumSizeHint() const override { return { 100, 75 }; }
    /// Path length (mm) from the path point nearest the needle to the target; empty without a path or a needle
    /// whose figures can be trusted.
    [[nodiscard]] std::optional<double> remainingLength() const;
    /// The text above the bar, as painted.
    [[nodiscard]] QString shownText() const;
    /// The text shown for `remaining` mm to go.
    [[nodiscard]] static QString distanceText(double remaining, double targetRadius);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void paintBar(QPainter& painter, const QRectF& area) const;

    ToolNavigationVisualizationController* m_panel;
};

} // namespace Kelvaros
