#pragma once

#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// A centripetal Catmull-Rom spline through control points (millimetres), open or closed.
///
/// Why centripetal (knot spacing = square root of the chord length) and not uniform: planned paths have unevenly
/// spaced control points, and the uniform parametrisation then overshoots, forms cusps and can loop on itself
/// between close points; the centripetal one provably does neither (Yuksel, Schaefer and Keyser 2011) and still
/// passes through every control point.
///
/// The spline coordinate u runs over [0, 1]: u = 0 at the first control point, u = 1 at the last one (back at the
/// first for a closed spline), and each segment between neighbouring control points takes an equal share of u. Values
/// of u outside [0, 1] are clamped, as are arc lengths outside [0, length].
///
/// Degenerate input: consecutive repeated control points are merged (they add no shape), and so is a last point
/// that repeats the first of a closed spline. With no point everything is zero; with a single distinct point the
/// curve is that point, its length 0 and its tangent zero; two distinct points give a straight line travelled at
/// constant speed (closed: there and back). An open spline's end segments use mirrored phantom points.
///
/// Not thread-safe for writing; const members may be called from several threads at once.
class KELVAROS_API Spline
{
public:
    Spline() = default;
    explicit Spline(std::vector<Eigen::Vector3d> points, bool closed = false);

    /// Replaces the control points (copied as given; see the class comment for repeated points).
    void setPoints(std::vector<Eigen::Vector3d> points, bool closed = false);
    /// The control points as given.
    [[nodiscard]] const std::vector<Eigen::Vector3d>& points() const { return m_points; }
    [[nodiscard]] bool isClosed() const { return m_closed; }

    /// The curve point at spline coordinate u.
    [[nodiscard]] Eigen::Vector3d evaluate(double u) const;
    /// The unit tangent (direction of travel) at u; zero when the curve has no extent.
    [[nodiscard]] Eigen::Vector3d evaluateTangent(double u) const;

    /// Arc length (mm) of the curve between u0 and u1, whatever their order; adaptive Gauss-Legendre quadrature to
    /// about 1e-9 relative. getCurveLength() is the whole length.
    [[nodiscard]] double getCurveLength(double u0 = 0.0, double u1 = 1.0) const;
    /// Arc length (mm) from the start to u.
    [[nodiscard]] double splineCoordToArcLength(double u) const;
    /// The spline coordinate at arc length s (mm) from the start: inverse of splineCoordToArcLength, monotone and
    /// accurate to 1e-6 mm along the curve.
    [[nodiscard]] double arcLengthToSplineCoord(double s) const;

    /// The arc length (mm) of the curve point nearest to q. The curve is sampled coarsely (16 samples per segment plus
    /// `extraSamples`, for strongly bent segments), then every segment whose samples come close enough to hold the
    /// minimum is refined by safeguarded Newton iteration. Optional outputs: the nearest point, and whether it is an
    /// end of an open curve (q lies beyond the start or the end of the path). Zero without control points.
    [[nodiscard]] double calculateNearestPointArcLength(const Eigen::Vector3d& q, int extraSamples = 0,
                                                        Eigen::Vector3d* nearestPoint = nullptr,
                                                        bool* atEnd = nullptr) const;

private:
    /// One segment as a cubic in its local parameter t in [0, 1]: p(t) = ((a t + b) t + c) t + d.
    struct Segment
    {
        Eigen::Vector3d a, b, c, d;
        [[nodiscard]] Eigen::Vector3d position(double t) const;
        [[nodiscard]] Eigen::Vector3d velocity(double t) const;
        [[nodiscard]] Eigen::Vector3d acceleration(double t) const;
        /// Arc length between local parameters t0 and t1.
        [[nodiscard]] double length(double t0, double t1) const;
    };
    /// Segment index and local parameter of a (clamped) spline coordinate.
    struct Location
    {
        std::size_t segment = 0;
        double t = 0.0;
    };
    struct Candidate
    {
        Location location;
        double distanceSquared = 0.0;
    };

    void build(const std::vector<Eigen::Vector3d>& distinct);
    [[nodiscard]] Location locate(double u) const;
    [[nodiscard]] double arcLength(const Location& location) const;
    [[nodiscard]] Candidate refineNearest(std::size_t segment, double tLow, double tHigh,
                                          const Eigen::Vector3d& q) const;

    std::vector<Eigen::Vector3d> m_points;
    bool m_closed = false;
    /// The single point of a curve without segments (zero when there is no point at all).
    Eigen::Vector3d m_only = Eigen::Vector3d::Zero();
    std::vector<Segment> m_segments;
    /// Arc length from the start to the beginning of each segment, plus the total at the end.
    std::vector<double> m_cumulative{ 0.0 };
};

} // namespace Kelvaros
