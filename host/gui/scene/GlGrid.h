#pragma once

#include <memory>

#include "core/Export.h"
#include "gui/scene/GlObject.h"

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}

/// A square grid of lines in the object's z = 0 plane, centred at the object's origin: `size` (mm) across along
/// x and y, a line every `spacing` (mm) along each axis, one pixel wide. Main thread only.
class KELVAROS_API GlGrid : public GlObject
{
public:
    GlGrid(const Eigen::Vector2d& size, const Eigen::Vector2d& spacing);
    ~GlGrid() override;

    /// RGBA in [0, 1]; default mid grey, opaque. With alpha below 1 the grid is blended.
    [[nodiscard]] const Eigen::Vector4d& lineColor() const { return m_lineColor; }
    void setLineColor(const Eigen::Vector4d& rgba);

    void render(const RenderInfo& info) override;
    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;
    [[nodiscard]] bool isTransparent() const override { return m_lineColor.w() < 1.0; }

private:
    /// Grid lines along one axis (0: lines parallel to y, spaced along x), in the object frame.
    void appendLines(int axis, std::vector<Eigen::Vector3d>& lines) const;

    Eigen::Vector2d m_size;
    Eigen::Vector2d m_spacing;
    Eigen::Vector4d m_lineColor{ 0.5, 0.5, 0.5, 1.0 };
    std::unique_ptr<GL::VertexBuffer> m_buffer;
};

} // namespace Kelvaros
