#include "navigation/ToolNavigationDistanceWidget.h"

#include <QPainter>

#include "gui/scene/GlCircle.h"
#include "gui/scene/GlSpline.h"

#include "navigation/NavigationScene.h"
#include "navigation/ToolNavigationVisualizationController.h"

namespace Kelvaros
{
namespace
{
constexpr double kBarInset = 10.0;

QPen pen(const QColor& colour, double width)
{
    return QPen(colour, width, Qt::SolidLine, Qt::SquareCap, Qt::BevelJoin);
}
} // namespace

ToolNavigationDistanceWidget::ToolNavigationDistanceWidget(ToolNavigationVisualizationController* panel)
  : QWidget(panel), m_panel(panel)
{
}

std::optional<double> ToolNavigationDistanceWidget::remainingLength() const
{
    const NavigationScene* scene = m_panel->scene();
    return scene ? scene->remainingLength() : std::nullopt;
}

QString ToolNavigationDistanceWidget::shownText() const
{
    const NavigationScene* scene = m_panel->scene();
    if (!scene || !scene->spline())
        return tr("No path");
    if (const std::optional<double> remaining = scene->remainingLength())
        return distanceText(*remaining, m_panel->settings().targetRadius);
    return QString::fromUtf8("\u2014 ") + QString::fromStdString(figureStateText(scene->figureJudgement()));
}

QString ToolNavigationDistanceWidget::distanceText(double remaining, double targetRadius)
{
    // Whole millimetres are enough on the way; the last stretch inside the target radius needs the tenths.
    if (remaining >= targetRadius)
        return QString("%1 mm").arg(static_cast<long long>(remaining));
    return QString("%1 mm").arg(remaining, 0, 'f', 1);
}

void ToolNavigationDistanceWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // White on the panel's light grey would not read: the bar gets the dark ground of the views.
    painter.fillRect(rect(), QColor(24, 28, 36));
    painter.setPen(pen(Qt::white, 3.0));
    painter.setBrush(QBrush(Qt::white, Qt::SolidPattern));
    QFont font(painter.font().family());
    font.setPointSize(20);
    painter.setFont(font);

    const QRectF all = rect();
    const QRectF upper(all.left(), all.top(), all.width(), all.height() / 2);
    const QRectF lower(all.left(), upper.bottom(), all.width(), all.height() / 2);
    // A distance is large; a reason why there is none must fit the panel's width.
    const std::optional<double> remaining = remainingLength();
    if (!remaining)
        font.setPointSize(11);
    painter.setFont(font);
    painter.drawText(upper, Qt::AlignCenter | Qt::TextWordWrap, shownText());
    paintBar(painter, lower);
}

void ToolNavigationDistanceWidget::paintBar(QPainter& painter, const QRectF& area) const
{
    const double y = area.center().y();
    const double left = area.left() + kBarInset;
    const double right = area.right() - kBarInset;
    painter.drawLine(QPointF(left, y), QPointF(right, y));
    painter.drawEllipse(QPointF(right, y), 5.0, 5.0);

    const NavigationScene* scene = m_panel->scene();
    if (!scene)
        return;
    const std::vector<Eigen::Vector3d>& points = scene->splinePoints();
    const Eigen::Vector3d first = points.size() >= 2 ? points.front() : Eigen::Vector3d::Zero();
    const Eigen::Vector3d last = points.size() >= 2 ? points.back() : Eigen::Vector3d::Zero();
    const double span = (last - first).norm();
    // A closed path has no straight span to scale by: it is drawn unscaled rather than divided by zero.
    const double scale = span > 0 ? (right - left) / span : 1.0;
    for (const GlCircle* ring : scene->rings())
        painter.drawEllipse(QPointF(left + (ring->centre() - first).norm() * scale, y), 2.0, 2.0);

    const std::optional<double> along = scene->needleArcLength();
    if (!along)
        return;
    painter.setPen(pen(Qt::red, 5.0));
    const double x = left + *along * scale;
    painter.drawLine(QPointF(x, y + 10), QPointF(x, y - 10));
}

} // namespace Kelvaros
