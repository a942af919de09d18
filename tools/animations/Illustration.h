#pragma once

#include <vector>

#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>
#include <QVector3D>

namespace Kelvaros::Tools
{

/// Four tones of one surface, from the side turned away from the light to the glint.
struct Material
{
    QColor dark;
    QColor mid;
    QColor light;
    QColor highlight;
};

/// A round solid of the scene: a frustum (cylinder or cone) between two points, or a sphere (b and rb unused).
struct Solid
{
    enum Kind
    {
        Frustum,
        Sphere
    };
    Kind kind;
    QVector3D a;
    QVector3D b;
    float ra;
    float rb;
    const Material* material;
};

/// Line-art drawing of a small 3D scene in parallel projection (scene units, z up): solids with cel shading in a
/// few flat tones and a dark outline, and guide arrows. Parallel projection keeps every tone a flat colour of the
/// palette and makes circles ellipses, which QPainter draws exactly.
class Illustration
{
public:
    struct View
    {
        float azimuthDegrees;   ///< turn of the viewer about z, from the front (-y) towards +x
        float elevationDegrees; ///< height of the viewer above the horizon
        float pixelsPerUnit;
        QPointF origin;         ///< where the scene origin lands on the canvas
        QVector3D towardsLight; ///< direction to the light (any length)
        QColor outline;
        float outlineWidth; ///< pixels
    };

    Illustration(QPainter& painter, const View& view);

    [[nodiscard]] QPointF project(const QVector3D& point) const;
    /// Distance towards the viewer: larger is nearer.
    [[nodiscard]] float depth(const QVector3D& point) const { return QVector3D::dotProduct(point, m_towardsViewer); }
    [[nodiscard]] QVector3D towardsViewer() const { return m_towardsViewer; }
    /// Screen-right direction in the scene.
    [[nodiscard]] QVector3D right() const { return m_right; }

    /// Draws the solids far to near, so that nearer ones cover farther ones.
    void draw(std::vector<Solid> solids);
    void frustum(const QVector3D& a, const QVector3D& b, float ra, float rb, const Material& material);
    void sphere(const QVector3D& centre, float radius, const Material& material);
    /// Outline of the circle about `centre` in the plane with normal `normal`.
    [[nodiscard]] QPainterPath circle(const QVector3D& centre, const QVector3D& normal, float radius) const;
    /// A disc of the plane through `centre` with normal `normal`, filled and outlined.
    void disc(const QVector3D& centre, const QVector3D& normal, float radius, const QBrush& fill, const QPen& pen);
    /// Points of the circle arc about `centre` in the plane spanned by the unit vectors `u` and `v`, from angle
    /// `from` to `to` (radians, from u towards v). With `side` +1 only the points in front of the centre (towards
    /// the viewer) are kept, with -1 only those behind it, with 0 all; each run of kept points is one polyline.
    [[nodiscard]] std::vector<QPolygonF> arc(const QVector3D& centre, const QVector3D& u, const QVector3D& v,
                                             float radius, float from, float to, int side = 0) const;
    /// A thick arc (see arc() for the arguments) with an arrow head at angle `to` when that end is drawn.
    void arcArrow(const QVector3D& centre, const QVector3D& u, const QVector3D& v, float radius, float from, float to,
                  int side, const QColor& color, float width);
    /// A thick stroke along `points` in `color`, with an arrow head at its end when `head` is set.
    void arrow(const QPolygonF& points, const QColor& color, float width, bool head);

private:
    [[nodiscard]] QColor tone(const Material& material, const QVector3D& normal) const;

    QPainter& m_painter;
    View m_view;
    QVector3D m_towardsViewer;
    QVector3D m_right;
    QVector3D m_up;
    QVector3D m_light;
};

} // namespace Kelvaros::Tools
