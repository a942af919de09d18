#pragma once

#include "gui/scene/GlAnnotation.h"

namespace Kelvaros
{

/// A ring: the circle of a radius around a centre in the plane spanned by two perpendicular unit axes (object
/// frame, millimetres), drawn as a closed polyline fine enough to look round. Slice views show the arcs within the
/// slab. The label stands where axis A meets the ring. Main thread only.
class KELVAROS_API GlCircle : public GlAnnotation
{
public:
    using GlAnnotation::GlAnnotation;

    void setCircle(const Eigen::Vector3d& centre, const Eigen::Vector3d& axisA, const Eigen::Vector3d& axisB);
    void setRadius(double radius);
    [[nodiscard]] const Eigen::Vector3d& centre() const { return m_centre; }
    [[nodiscard]] double radius() const { return m_radius; }
    [[nodiscard]] const Eigen::Vector3d& axisA() const { return m_axisA; }
    [[nodiscard]] const Eigen::Vector3d& axisB() const { return m_axisB; }

    [[nodiscard]] Eigen::AlignedBox3d bounds() const override;

protected:
    void renderGeometry(const RenderInfo& info) override;
    [[nodiscard]] std::optional<Eigen::Vector3d> labelAnchor(const RenderInfo& info) const override;

private:
    /// Segments enough for the ring as large as it shows in the view.
    [[nodiscard]] int segmentsFor(const RenderInfo& info) const;
    [[nodiscard]] std::vector<Eigen::Vector3d> worldRing(int segments) const;

    Eigen::Vector3d m_centre = Eigen::Vector3d::Zero();
    Eigen::Vector3d m_axisA = Eigen::Vector3d::UnitX();
    Eigen::Vector3d m_axisB = Eigen::Vector3d::UnitY();
    double m_radius = 1.0;
};

} // namespace Kelvaros
