#pragma once

#include "gui/scene/GlPointBasedAnnotation.h"
#include "lib/geometry/Spline.h"

namespace Kelvaros
{

/// A smooth curve through its control points (an open centripetal Catmull-Rom spline), drawn as a fine polyline
/// with dots of the point size at the control points. The curve queries work in the points' frame, as the
/// points are given. The label (default: the curve's length) stands at the curve's middle. Main thread only.
class KELVAROS_API GlSpline : public GlPointBasedAnnotation
{
public:
    using GlPointBasedAnnotation::GlPointBasedAnnotation;

    void setPoints(std::vector<Eigen::Vector3d> points) override;

    [[nodiscard]] const Spline& spline() const { return m_spline; }
    [[nodiscard]] Eigen::Vector3d evaluate(double u) const { return m_spline.evaluate(u); }
    [[nodiscard]] Eigen::Vector3d evaluateTangent(double u) const { return m_spline.evaluateTangent(u); }
    [[nodiscard]] double getCurveLength(double u0 = 0.0, double u1 = 1.0) const
    {
        return m_spline.getCurveLength(u0, u1);
    }
    [[nodiscard]] double splineCoordToArcLength(double u) const { return m_spline.splineCoordToArcLength(u); }
    [[nodiscard]] double arcLengthToSplineCoord(double s) const { return m_spline.arcLengthToSplineCoord(s); }
    [[nodiscard]] double calculateNearestPointArcLength(const Eigen::Vector3d& q, int extraSamples = 0,
                                                        Eigen::Vector3d* nearestPoint = nullptr,
                                                        bool* atEnd = nullptr) const
    {
        return m_spline.calculateNearestPointArcLength(q, extraSamples, nearestPoint, atEnd);
    }

protected:
    void renderGeometry(const RenderInfo& info) override;
    [[nodiscard]] std::optional<Eigen::Vector3d> labelAnchor(const RenderInfo& info) const override;
    [[nodiscard]] std::string shownLabel() const override;

private:
    /// The curve sampled finely enough to look smooth, placed in the world.
    [[nodiscard]] std::vector<Eigen::Vector3d> worldPolyline() const;

    Spline m_spline;
};

} // namespace Kelvaros
