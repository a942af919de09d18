#include "Icons.h"

#include <QPainter>
#include <QPainterPath>

namespace Kelvaros::Tools::Icons
{

namespace
{

const QColor kRim(0x1E252E);
const QColor kArrow(0x2C68AE);
const QColor kPlay(0x2E9E4F);
const QColor kStop(0xD0443E);

/// Fills `shape` (in a 64-unit square) with `fill` inside a dark rim.
void filled(QPainter& painter, const QPainterPath& shape, const QColor& fill)
{
    painter.setPen(QPen(kRim, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(fill);
    painter.drawPath(shape);
}

QPainterPath arrowRight()
{
    QPainterPath path;
    path.addPolygon(QPolygonF({ QPointF(8, 25), QPointF(32, 25), QPointF(32, 11), QPointF(56, 32), QPointF(32, 53),
                                QPointF(32, 39), QPointF(8, 39) }));
    path.closeSubpath();
    return path;
}

/// Strokes the same lines twice, wide and dark, then narrow and light: a light glyph with a dark halo.
void haloed(QPainter& painter, const QPainterPath& lines)
{
    for (const auto& [color, width] : { std::pair{ kRim, 9.0 }, std::pair{ QColor(Qt::white), 4.5 } })
    {
        painter.setPen(QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
        painter.setBrush(Qt::NoBrush);
        painter.drawPath(lines);
    }
}

void recenter(QPainter& painter)
{
    QPainterPath lines;
    // Corner brackets of a viewfinder.
    for (const QPointF& corner : { QPointF(10, 10), QPointF(54, 10), QPointF(54, 54), QPointF(10, 54) })
    {
        const qreal dx = corner.x() < 32 ? 11 : -11, dy = corner.y() < 32 ? 11 : -11;
        lines.moveTo(corner + QPointF(dx, 0));
        lines.lineTo(corner);
        lines.lineTo(corner + QPointF(0, dy));
    }
    lines.addEllipse(QPointF(32, 32), 10, 10);
    haloed(painter, lines);
    painter.setPen(QPen(kRim, 2));
    painter.setBrush(Qt::white);
    painter.drawEllipse(QPointF(32, 32), 4, 4);
}

} // namespace

QImage draw(Icon icon, int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 64.0, size / 64.0);
    switch (icon)
    {
        case Icon::Recenter:
            recenter(painter);
            break;
        case Icon::ArrowRight:
            filled(painter, arrowRight(), kArrow);
            break;
        case Icon::ArrowLeft:
            filled(painter, QTransform(-1, 0, 0, 1, 64, 0).map(arrowRight()), kArrow);
            break;
        case Icon::Play:
        {
            QPainterPath triangle;
            triangle.addPolygon(QPolygonF({ QPointF(16, 9), QPointF(55, 32), QPointF(16, 55) }));
            triangle.closeSubpath();
            filled(painter, triangle, kPlay);
            break;
        }
        case Icon::Stop:
        {
            QPainterPath square;
            square.addRoundedRect(QRectF(12, 12, 40, 40), 6, 6);
            filled(painter, square, kStop);
            break;
        }
    }
    painter.end();
    return image;
}

} // namespace Kelvaros::Tools::Icons
