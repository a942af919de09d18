#include "gui/scene/ButtonOverlay.h"

#include <algorithm>
#include <cmath>

#include <QOpenGLFunctions_3_3_Core>

#include "gl/Functions.h"
#include "gl/Pipeline.h"
#include "gl/StateGuard.h"
#include "gl/VertexBuffer.h"
#include "gl/ViewState.h"

namespace Kelvaros
{
namespace
{
constexpr int kSize = 40;
constexpr int kSegments = 48;
constexpr double kPi = 3.14159265358979323846;
// The icon fills this share of the disc's diameter, leaving room inside the rim.
constexpr double kIconShare = 0.6;
const Eigen::Vector4d kFill(0.1, 0.1, 0.1, 0.55);
const Eigen::Vector4d kRim(0.85, 0.85, 0.85, 0.8);
} // namespace

ButtonOverlay::ButtonOverlay()
  : GlOverlay(kSize, kSize, kSize, kSize),
    m_disc(std::make_unique<GL::VertexBuffer>()),
    m_rim(std::make_unique<GL::VertexBuffer>()),
    m_iconSquares(std::make_unique<GL::VertexBuffer>())
{
}

ButtonOverlay::~ButtonOverlay() = default;

void ButtonOverlay::setIcon(const QImage& icon)
{
    m_icon = icon;
    m_builtSize = 0;
}

void ButtonOverlay::buildIcon(int size)
{
    const int side = static_cast<int>(std::lround(kIconShare * size));
    const QImage scaled = m_icon.isNull() ? QImage()
                                          : m_icon.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                                              .convertToFormat(QImage::Format_ARGB32);
    std::vector<Eigen::Vector3d> positions;
    std::vector<Eigen::Vector4d> colors;
    const double left = 0.5 * (size - scaled.width());
    const double top = 0.5 * (size + scaled.height());
    for (int row = 0; row < scaled.height(); ++row)
        for (int column = 0; column < scaled.width(); ++column)
        {
            const QColor c = QColor::fromRgba(scaled.pixel(column, row));
            if (c.alpha() == 0)
                continue;
            const Eigen::Vector4d rgba(c.redF(), c.greenF(), c.blueF(), c.alphaF());
            const Eigen::Vector3d corner(left + column, top - row - 1, 0.0);
            for (const Eigen::Vector3d& offset :
                 { Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(1, 0, 0), Eigen::Vector3d(1, 1, 0),
                   Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(1, 1, 0), Eigen::Vector3d(0, 1, 0) })
            {
                positions.push_back(corner + offset);
                colors.push_back(rgba);
            }
        }
    m_iconSquares->setData(positions, colors);

    const Eigen::Vector3d centre(0.5 * size, 0.5 * size, 0.0);
    const double radius = 0.5 * size - 1.0;
    std::vector<Eigen::Vector3d> rim;
    for (int i = 0; i < kSegments; ++i)
    {
        const double angle = 2.0 * kPi * i / kSegments;
        rim.push_back(centre + radius * Eigen::Vector3d(std::cos(angle), std::sin(angle), 0.0));
    }
    std::vector<Eigen::Vector3d> disc{ centre };
    disc.insert(disc.end(), rim.begin(), rim.end());
    disc.push_back(rim.front());
    m_disc->setData(disc);
    m_rim->setData(rim);
    m_builtSize = size;
}

void ButtonOverlay::render(const GL::Viewport& viewport)
{
    const int size = std::min(viewport.width, viewport.height);
    if (size != m_builtSize)
        buildIcon(size);
    GL::StateGuard guard;
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions("InteractiveButtonOverlay");
    if (!f)
        return;
    f->glDisable(GL_DEPTH_TEST);
    f->glEnable(GL_BLEND);
    f->glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    GL::ViewState view(viewport);
    view.projection = GL::createOrtho2d(viewport.width, viewport.height);
    if (!GL::Pipeline::enable(view, GL::Pipeline::VertexColor))
        return;
    GL::Pipeline::setColor(kFill);
    m_disc->draw(GL_TRIANGLE_FAN);
    GL::Pipeline::setColor(kRim);
    GL::Pipeline::setLineWidth(1.5);
    m_rim->draw(GL_LINE_LOOP);
    m_iconSquares->draw(GL_TRIANGLES);
}

} // namespace Kelvaros
