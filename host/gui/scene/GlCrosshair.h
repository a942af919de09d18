#pragma once

#include <memory>
#include <optional>

#include "gui/scene/GlObject.h"

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}

/// The view cursor drawn in a yellow-green that stands out on grey images: in slice views two thin lines across
/// the whole view along the plane's axes, crossing at the cursor's foot on the plane; in 3D views three short
/// lines along the world axes, of a fixed size on the screen. Nothing while it has no position.
///
/// The position is a world point; the object's matrix is not used. Main thread only.
class KELVAROS_API GlCrosshair : public GlObject
{
public:
    GlCrosshair();
    ~GlCrosshair() override;

    [[nodiscard]] const std::optional<Eigen::Vector3d>& position() const { return m_position; }
    void setPosition(const std::optional<Eigen::Vector3d>& position);

    /// RGBA of the lines.
    [[nodiscard]] static Eigen::Vector4d color() { return { 0.65, 1.0, 0.2, 1.0 }; }

    void render(const RenderInfo& info) override;
    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;

private:
    [[nodiscard]] std::vector<Eigen::Vector3d> sliceLines(const RenderInfo& info) const;
    [[nodiscard]] std::vector<Eigen::Vector3d> axisLines(const RenderInfo& info) const;

    std::optional<Eigen::Vector3d> m_position;
    std::unique_ptr<GL::VertexBuffer> m_buffer;
};

} // namespace Kelvaros
