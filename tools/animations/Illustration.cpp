#include "Illustration.h"

#include <algorithm>
#include <cmath>

#include <QLinearGradient>
#include <QPainterPath>
#include <QTransform>
#include <QtMath>

namespace Kelvaros::Tools
{

namespace
{

constexpr double kPi = 3.14159265358979323846;

QVector3D perpendicular(const QVector3D& n)
{
    const QVector3D other = std::abs(n.x()) < 0.9f ? QVector3D(1, 0, 0) : QVector3D(0, 1, 0);
    return QVector3D::crossProduct(n, other).normalized();
}

QPointF unit(const QPointF& p)
{
    const double length = std::hypot(p.x(), p.y());
    return length > 0 ? p / length : QPointF(1, 0);
}

} // namespace

Illustration::Illustration(QPainter& painter, const View& view) : m_painter(painter), m_view(view)
{
    const float azimuth = qDegreesToRadians(view.azimuthDegrees);
    const float elevation = qDegreesToRadians(view.elevationDegrees);
    m_towardsViewer =
      QVector3D(std::cos(elevation) * std::sin(azimuth), -std::cos(elevation) * std::cos(azimuth), std::sin(elevation));
    m_right = QVector3D::crossProduct(QVector3D(0, 0, 1), m_towardsViewer).normalized();
    m_up = QVector3D::crossProduct(m_towardsViewer, m_right);
    m_light = view.towardsLight.normalized();
    m_painter.setRenderHint(QPainter::Antialiasing);
}

QPointF Illustration::project(const QVector3D& point) const
{
    return m_view.origin +
           m_view.pixelsPerUnit * QPointF(QVector3D::dotProduct(point, m_right), -QVector3D::dotProduct(point, m_up));
}

QColor Illustration::tone(const Material& material, const QVector3D& normal) const
{
    const float lit = QVector3D::dotProduct(normal, m_light);
    if (lit > 0.93f)
        return material.highlight;
    if (lit > 0.55f)
        return material.light;
    return lit > 0.1f ? material.mid : material.dark;
}

QPainterPath Illustration::circle(const QVector3D& centre, const QVector3D& normal, float radius) const
{
    // The circle is the image of the unit circle under the linear map of two in-plane axes, so the projected
    // ellipse is that map applied to a unit circle path.
    const QVector3D e1 = perpendicular(normal);
    const QVector3D e2 = QVector3D::crossProduct(normal.normalized(), e1);
    const QPointF o = project(centre);
    const QPointF a = project(centre + radius * e1) - o;
    const QPointF b = project(centre + radius * e2) - o;
    QPainterPath unitCircle;
    unitCircle.addEllipse(QPointF(0, 0), 1, 1);
    return QTransform(a.x(), a.y(), b.x(), b.y(), o.x(), o.y()).map(unitCircle);
}

void Illustration::draw(std::vector<Solid> solids)
{
    const auto centreDepth = [this](const Solid& s) { return depth(s.kind == Solid::Sphere ? s.a : (s.a + s.b) / 2); };
    std::stable_sort(solids.begin(), solids.end(),
                     [&](const Solid& x, const Solid& y) { return centreDepth(x) < centreDepth(y); });
    for (const Solid& s : solids)
        if (s.kind == Solid::Sphere)
            sphere(s.a, s.ra, *s.material);
        else
            frustum(s.a, s.b, s.ra, s.rb, *s.material);
}

void Illustration::frustum(const QVector3D& a, const QVector3D& b, float ra, float rb, const Material& material)
{
    const QVector3D axis = (b - a).normalized();
    if (axis.isNull())
        return;
    // w: the surface normal that faces the viewer most; side: the normal seen edge-on at the silhouette. Across the
    // projected width, at the fraction t of the half-width, the surface normal is sqrt(1 - t^2) w + t side.
    QVector3D w = m_towardsViewer - QVector3D::dotProduct(m_towardsViewer, axis) * axis;
    w = w.lengthSquared() > 1e-8f ? w.normalized() : perpendicular(axis);
    const QVector3D side = QVector3D::crossProduct(axis, w);
    const QPointF across = unit(project(side) - project(QVector3D()));
    const QPointF pa = project(a), pb = project(b);
    const float scale = m_view.pixelsPerUnit;

    QPainterPath body;
    body.addPolygon(QPolygonF(
      { pa + ra * scale * across, pb + rb * scale * across, pb - rb * scale * across, pa - ra * scale * across }));
    body.closeSubpath();
    if (ra > 0)
        body = body.united(circle(a, axis, ra));
    if (rb > 0)
        body = body.united(circle(b, axis, rb));

    const QPointF middle = (pa + pb) / 2;
    const float halfWidth = std::max(ra, rb) * scale;
    QLinearGradient shading(middle - halfWidth * across, middle + halfWidth * across);
    constexpr int kSamples = 64;
    QColor previous;
    for (int i = 0; i <= kSamples; ++i)
    {
        const float t = -1.0f + 2.0f * i / kSamples;
        const QColor c = tone(material, std::sqrt(std::max(0.0f, 1 - t * t)) * w + t * side);
        const qreal position = qreal(i) / kSamples;
        if (i == 0 || c != previous)
        {
            // Two stops at one place make a hard edge between flat tones.
            if (i > 0)
                shading.setColorAt(std::max(0.0, position - 1e-4), previous);
            shading.setColorAt(position, c);
            previous = c;
        }
    }
    shading.setColorAt(1.0, previous);
    m_painter.setPen(Qt::NoPen);
    m_painter.setBrush(shading);
    m_painter.drawPath(body);

    const bool topVisible = QVector3D::dotProduct(axis, m_towardsViewer) > 0;
    const float capRadius = topVisible ? rb : ra;
    if (capRadius > 0)
        disc(topVisible ? b : a, axis, capRadius, tone(material, topVisible ? axis : -axis),
             QPen(m_view.outline, 0.6 * m_view.outlineWidth));
    m_painter.setBrush(Qt::NoBrush);
    m_painter.setPen(QPen(m_view.outline, m_view.outlineWidth, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    m_painter.drawPath(body);
}

void Illustration::sphere(const QVector3D& centre, float radius, const Material& material)
{
    const QPointF p = project(centre);
    const qreal r = radius * m_view.pixelsPerUnit;
    const QPointF towardsLight =
      unit(QPointF(QVector3D::dotProduct(m_light, m_right), -QVector3D::dotProduct(m_light, m_up)));
    QPainterPath outline;
    outline.addEllipse(p, r, r);
    m_painter.save();
    m_painter.setPen(Qt::NoPen);
    m_painter.setBrush(material.dark);
    m_painter.drawPath(outline);
    m_painter.setClipPath(outline);
    m_painter.setBrush(material.mid);
    m_painter.drawEllipse(p + 0.22 * r * towardsLight, 0.86 * r, 0.86 * r);
    m_painter.setBrush(material.highlight);
    m_painter.drawEllipse(p + 0.42 * r * towardsLight, 0.26 * r, 0.26 * r);
    m_painter.restore();
    m_painter.setBrush(Qt::NoBrush);
    m_painter.setPen(QPen(m_view.outline, m_view.outlineWidth));
    m_painter.drawPath(outline);
}

void Illustration::disc(const QVector3D& centre, const QVector3D& normal, float radius, const QBrush& fill,
                        const QPen& pen)
{
    m_painter.setBrush(fill);
    m_painter.setPen(pen);
    m_painter.drawPath(circle(centre, normal, radius));
}

std::vector<QPolygonF> Illustration::arc(const QVector3D& centre, const QVector3D& u, const QVector3D& v, float radius,
                                         float from, float to, int side) const
{
    const int samples = std::max(8, int(std::abs(to - from) / (2 * float(kPi)) * 120));
    std::vector<QPolygonF> runs(1);
    for (int i = 0; i <= samples; ++i)
    {
        const float angle = from + (to - from) * i / samples;
        const QVector3D point = centre + radius * (std::cos(angle) * u + std::sin(angle) * v);
        const float front = depth(point) - depth(centre);
        if (side == 0 || front * side >= 0)
            runs.back() << project(point);
        else if (!runs.back().isEmpty())
            runs.emplace_back();
    }
    runs.erase(std::remove_if(runs.begin(), runs.end(), [](const QPolygonF& p) { return p.size() < 2; }), runs.end());
    return runs;
}

void Illustration::arcArrow(const QVector3D& centre, const QVector3D& u, const QVector3D& v, float radius, float from,
                            float to, int side, const QColor& color, float width)
{
    // The arc's end is the end of its last run when that end lies on the side drawn.
    const QVector3D end = centre + radius * (std::cos(to) * u + std::sin(to) * v);
    const bool endDrawn = side == 0 || (depth(end) - depth(centre)) * side >= 0;
    const std::vector<QPolygonF> runs = arc(centre, u, v, radius, from, to, side);
    for (std::size_t i = 0; i < runs.size(); ++i)
        arrow(runs[i], color, width, endDrawn && i + 1 == runs.size());
}

void Illustration::arrow(const QPolygonF& points, const QColor& color, float width, bool head)
{
    if (points.size() < 2)
        return;
    QPolygonF line = points;
    if (head)
    {
        // The head points along the last stretch of the line that is as long as the head, so that a curved line
        // gets a head in its mean direction there; the stroke stops inside the head.
        const qreal length = 3.2 * width;
        const QPointF tip = points.back();
        int i = points.size() - 2;
        while (i > 0 && std::hypot(tip.x() - points[i].x(), tip.y() - points[i].y()) < length)
            --i;
        const QPointF direction = unit(tip - points[i]);
        const QPointF normal(-direction.y(), direction.x());
        const QPointF base = tip - length * direction;
        while (line.size() > 2 && std::hypot(tip.x() - line.back().x(), tip.y() - line.back().y()) < 0.5 * length)
            line.pop_back();
        line.back() = tip - 0.5 * length * direction;
        m_painter.setPen(Qt::NoPen);
        m_painter.setBrush(color);
        m_painter.drawPolygon(QPolygonF({ tip, base + 1.25 * width * normal, base - 1.25 * width * normal }));
    }
    m_painter.setBrush(Qt::NoBrush);
    m_painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    m_painter.drawPolyline(line);
}

} // namespace Kelvaros::Tools
