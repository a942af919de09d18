#pragma once

#include <vector>

#include "gui/scene/GlAnnotation.h"

namespace Kelvaros
{

/// An annotation defined by a list of points (millimetres, in the object's frame: world coordinates while the
/// matrix is the identity). Main thread only.
class KELVAROS_API GlPointBasedAnnotation : public GlAnnotation
{
public:
    using GlAnnotation::GlAnnotation;

    [[nodiscard]] const std::vector<Eigen::Vector3d>& points() const { return m_points; }
    virtual void setPoints(std::vector<Eigen::Vector3d> points);

    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;

protected:
    /// The points placed in the world by the matrix.
    [[nodiscard]] std::vector<Eigen::Vector3d> worldPoints() const;
    /// Handles (discs of the point size) at world points; in slice views only those within the slab, on the plane.
    void renderHandles(const RenderInfo& info, const std::vector<Eigen::Vector3d>& world);

private:
    std::vector<Eigen::Vector3d> m_points;
};

} // namespace Kelvaros
