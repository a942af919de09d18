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

    /// Whether a slice view that a line or path only crosses marks the crossing with an × (off by default: the
    /// lines a scene draws for itself, such as a distance from the tip, would mark the tip).
    void setCrossingMarked(bool marked);
    [[nodiscard]] bool crossingMarked() const { return m_crossingMarked; }

protected:
    /// The points placed in the world by the matrix.
    [[nodiscard]] std::vector<Eigen::Vector3d> worldPoints() const;
    /// Handles (discs of the point size) at world points; in slice views only those within the slab, on the plane.
    void renderHandles(const RenderInfo& info, const std::vector<Eigen::Vector3d>& world);
    /// In a slice view that the line only crosses, what it shows of the line (`shown`, visibleSegments) is shorter
    /// than the line's width: an × there, when the crossing is marked, shows where the line passes and what its
    /// label stands beside.
    void renderCrossing(const RenderInfo& info, const std::vector<Eigen::Vector3d>& shown);

private:
    std::vector<Eigen::Vector3d> m_points;
    bool m_crossingMarked = false;
};

} // namespace Kelvaros
