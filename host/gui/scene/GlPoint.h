#pragma once

#include "gui/scene/GlPointBasedAnnotation.h"

namespace Kelvaros
{

/// A dot: a filled disc facing the viewer, of a diameter in screen pixels, at the first point. Slice views show
/// it when it lies within half the slice thickness of the plane. Main thread only.
class KELVAROS_API GlPoint : public GlPointBasedAnnotation
{
public:
    using GlPointBasedAnnotation::GlPointBasedAnnotation;

    void setPoint(const Eigen::Vector3d& point);
    [[nodiscard]] double dotSize() const { return m_dotSize; }
    void setDotSize(double pixels);
    /// Drawn over everything (no depth test), so that a marker inside a mesh stays visible.
    [[nodiscard]] bool alwaysVisible() const { return m_alwaysVisible; }
    void setAlwaysVisible(bool alwaysVisible);

protected:
    void renderGeometry(const RenderInfo& info) override;
    [[nodiscard]] std::optional<Eigen::Vector3d> labelAnchor(const RenderInfo& info) const override;
    [[nodiscard]] bool drawnOnTop() const override { return m_alwaysVisible; }

private:
    double m_dotSize = 8.0;
    bool m_alwaysVisible = false;
};

} // namespace Kelvaros
