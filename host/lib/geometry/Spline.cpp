#include "lib/geometry/Spline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <utility>

namespace Kelvaros
{

namespace
{

constexpr int kBaseSamplesPerSegment = 16;
constexpr int kMaxQuadratureDepth = 30;
constexpr int kMaxNewtonIterations = 100;

/// 7-point Gauss-Legendre nodes and weights on [-1, 1] (exact for polynomials up to degree 13).
constexpr std::array<std::pair<double, double>, 7> kGaussLegendre{ {
  { 0.0, 0.4179591836734694 },
  { -0.4058451513773972, 0.3818300505051189 },
  { 0.4058451513773972, 0.3818300505051189 },
  { -0.7415311855993945, 0.2797053914892766 },
  { 0.7415311855993945, 0.2797053914892766 },
  { -0.9491079123427585, 0.1294849661688697 },
  { 0.9491079123427585, 0.1294849661688697 },
} };

template<typename Speed>
double gaussLegendre(const Speed& speed, double t0, double t1)
{
    const double half = 0.5 * (t1 - t0);
    const double mid = 0.5 * (t1 + t0);
    double sum = 0.0;
    for (const auto& [node, weight] : kGaussLegendre)
        sum += weight * speed(mid + half * node);
    return half * sum;
}

/// Splits an interval until the two halves agree with the whole to `tolerance`. The speed |p'(t)| of a cubic is the
/// square root of a quartic: smooth except where the curve stops, so refinement is only needed near such points.
template<typename Speed>
double adaptiveLength(const Speed& speed, double t0, double t1, double whole, double tolerance, int depth)
{
    const double mid = 0.5 * (t0 + t1);
    const double left = gaussLegendre(speed, t0, mid);
    const double right = gaussLegendre(speed, mid, t1);
    if (depth >= kMaxQuadratureDepth || std::abs(left + right - whole) <= tolerance)
        return left + right;
    return adaptiveLength(speed, t0, mid, left, 0.5 * tolerance, depth + 1) +
           adaptiveLength(speed, mid, t1, right, 0.5 * tolerance, depth + 1);
}

std::vector<Eigen::Vector3d> distinctPoints(const std::vector<Eigen::Vector3d>& points, bool closed)
{
    std::vector<Eigen::Vector3d> distinct;
    for (const Eigen::Vector3d& p : points)
        if (distinct.empty() || p != distinct.back())
            distinct.push_back(p);
    if (closed && distinct.size() > 1 && distinct.back() == distinct.front())
        distinct.pop_back();
    return distinct;
}

} // namespace

Eigen::Vector3d Spline::Segment::position(double t) const
{
    return ((a * t + b) * t + c) * t + d;
}

Eigen::Vector3d Spline::Segment::velocity(double t) const
{
    return (3.0 * a * t + 2.0 * b) * t + c;
}

Eigen::Vector3d Spline::Segment::acceleration(double t) const
{
    return 6.0 * a * t + 2.0 * b;
}

double Spline::Segment::length(double t0, double t1) const
{
    const auto speed = [this](double t) { return velocity(t).norm(); };
    const double whole = gaussLegendre(speed, t0, t1);
    const double tolerance = std::max(1e-9 * whole, 1e-13);
    return adaptiveLength(speed, t0, t1, whole, tolerance, 0);
}

Spline::Spline(std::vector<Eigen::Vector3d> points, bool closed)
{
    setPoints(std::move(points), closed);
}

void Spline::setPoints(std::vector<Eigen::Vector3d> points, bool closed)
{
    m_points = std::move(points);
    m_closed = closed;
    build(distinctPoints(m_points, closed));
}

void Spline::build(const std::vector<Eigen::Vector3d>& distinct)
{
    m_segments.clear();
    m_cumulative.assign(1, 0.0);
    m_only = distinct.empty() ? Eigen::Vector3d::Zero() : distinct.front();
    const std::size_t n = distinct.size();
    if (n < 2)
        return;

    // Neighbour k of segment i (k = -1 .. 2): wrapped for a closed curve, mirrored across the ends of an open one.
    const auto neighbour = [&](std::size_t i, int k) -> Eigen::Vector3d
    {
        const long index = long(i) + k;
        if (m_closed)
            return distinct[std::size_t((index + long(n)) % long(n))];
        if (index < 0)
            return 2.0 * distinct[0] - distinct[1];
        if (index >= long(n))
            return 2.0 * distinct[n - 1] - distinct[n - 2];
        return distinct[std::size_t(index)];
    };

    const std::size_t segments = m_closed ? n : n - 1;
    for (std::size_t i = 0; i < segments; ++i)
    {
        const Eigen::Vector3d p0 = neighbour(i, -1), p1 = neighbour(i, 0), p2 = neighbour(i, 1), p3 = neighbour(i, 2);
        // Centripetal knot steps: square roots of the chord lengths. The end tangents below are those of the
        // Barry-Goldman pyramid for knots (0, d01, d01 + d12, ...), rescaled to the local parameter t in [0, 1].
        const double d01 = std::sqrt((p1 - p0).norm());
        const double d12 = std::sqrt((p2 - p1).norm());
        const double d23 = std::sqrt((p3 - p2).norm());
        const Eigen::Vector3d m1 = d12 * ((p1 - p0) / d01 - (p2 - p0) / (d01 + d12) + (p2 - p1) / d12);
        const Eigen::Vector3d m2 = d12 * ((p2 - p1) / d12 - (p3 - p1) / (d12 + d23) + (p3 - p2) / d23);
        // Cubic Hermite form p(t) = h00 p1 + h10 m1 + h01 p2 + h11 m2, expanded into powers of t.
        Segment segment{ 2.0 * p1 - 2.0 * p2 + m1 + m2, -3.0 * p1 + 3.0 * p2 - 2.0 * m1 - m2, m1, p1 };
        m_cumulative.push_back(m_cumulative.back() + segment.length(0.0, 1.0));
        m_segments.push_back(segment);
    }
}

Spline::Location Spline::locate(double u) const
{
    if (m_segments.empty())
        return {};
    const double scaled = std::clamp(std::isnan(u) ? 0.0 : u, 0.0, 1.0) * double(m_segments.size());
    const std::size_t segment = std::min(std::size_t(scaled), m_segments.size() - 1);
    return { segment, scaled - double(segment) };
}

double Spline::arcLength(const Location& location) const
{
    if (m_segments.empty())
        return 0.0;
    return m_cumulative[location.segment] + m_segments[location.segment].length(0.0, location.t);
}

Eigen::Vector3d Spline::evaluate(double u) const
{
    if (m_segments.empty())
        return m_only;
    const Location location = locate(u);
    return m_segments[location.segment].position(location.t);
}

Eigen::Vector3d Spline::evaluateTangent(double u) const
{
    if (m_segments.empty())
        return Eigen::Vector3d::Zero();
    const Location location = locate(u);
    const Segment& segment = m_segments[location.segment];
    const Eigen::Vector3d velocity = segment.velocity(location.t);
    if (velocity.norm() > 0.0)
        return velocity.normalized();
    // The curve stops here (a segment that turns back on itself); its chord still gives the direction of travel.
    return (segment.position(1.0) - segment.position(0.0)).normalized();
}

double Spline::getCurveLength(double u0, double u1) const
{
    return std::abs(splineCoordToArcLength(u1) - splineCoordToArcLength(u0));
}

double Spline::splineCoordToArcLength(double u) const
{
    return arcLength(locate(u));
}

double Spline::arcLengthToSplineCoord(double s) const
{
    if (m_segments.empty())
        return 0.0;
    const double total = m_cumulative.back();
    s = std::clamp(std::isnan(s) ? 0.0 : s, 0.0, total);
    const auto above = std::upper_bound(m_cumulative.begin(), m_cumulative.end(), s);
    const std::size_t index =
      std::min(std::size_t(std::max<std::ptrdiff_t>(above - m_cumulative.begin() - 1, 0)), m_segments.size() - 1);
    const Segment& segment = m_segments[index];
    const double target = s - m_cumulative[index];
    const double segmentLength = m_cumulative[index + 1] - m_cumulative[index];

    // Solve length(0, t) = target. The length grows monotonically in t, so [low, high] always brackets the root;
    // a Newton step (the derivative is the speed) that leaves the bracket, or meets a standstill, is replaced by
    // bisection.
    const double tolerance = 1e-10 + 1e-14 * total;
    double low = 0.0, high = 1.0;
    double t = segmentLength > 0.0 ? std::clamp(target / segmentLength, 0.0, 1.0) : 0.0;
    for (int iteration = 0; iteration < kMaxNewtonIterations && high - low > 1e-15; ++iteration)
    {
        const double error = segment.length(0.0, t) - target;
        if (std::abs(error) <= tolerance)
            break;
        (error > 0.0 ? high : low) = t;
        const double speed = segment.velocity(t).norm();
        const double next = speed > 0.0 ? t - error / speed : low - 1.0;
        t = (next > low && next < high) ? next : 0.5 * (low + high);
    }
    return (double(index) + t) / double(m_segments.size());
}

Spline::Candidate Spline::refineNearest(std::size_t index, double tLow, double tHigh, const Eigen::Vector3d& q) const
{
    const Segment& segment = m_segments[index];
    // f(t) = (p(t) - q) . p'(t) is half the derivative of the squared distance; a minimum inside the bracket is a
    // root where f turns from negative to positive. Newton on f uses f'(t) = |p'|^2 + (p - q) . p''.
    const auto slope = [&](double t) { return (segment.position(t) - q).dot(segment.velocity(t)); };
    const auto distanceSquared = [&](double t) { return (segment.position(t) - q).squaredNorm(); };
    const auto candidate = [&](double t) { return Candidate{ { index, t }, distanceSquared(t) }; };

    Candidate best = distanceSquared(tLow) <= distanceSquared(tHigh) ? candidate(tLow) : candidate(tHigh);
    if (slope(tLow) >= 0.0 || slope(tHigh) <= 0.0)
        return best;

    double low = tLow, high = tHigh, t = 0.5 * (tLow + tHigh);
    for (int iteration = 0; iteration < kMaxNewtonIterations && high - low > 1e-15; ++iteration)
    {
        const double f = slope(t);
        (f < 0.0 ? low : high) = t;
        const Eigen::Vector3d offset = segment.position(t) - q;
        const double derivative = segment.velocity(t).squaredNorm() + offset.dot(segment.acceleration(t));
        const double next = derivative > 0.0 ? t - f / derivative : low - 1.0;
        const double previous = t;
        t = (next > low && next < high) ? next : 0.5 * (low + high);
        if (std::abs(t - previous) <= 1e-15)
            break;
    }
    const Candidate inner = candidate(t);
    return inner.distanceSquared < best.distanceSquared ? inner : best;
}

double Spline::calculateNearestPointArcLength(const Eigen::Vector3d& q, int extraSamples, Eigen::Vector3d* nearestPoint,
                                              bool* atEnd) const
{
    if (m_segments.empty())
    {
        if (nearestPoint)
            *nearestPoint = m_only;
        if (atEnd)
            *atEnd = true;
        return 0.0;
    }

    const int samples = kBaseSamplesPerSegment + std::max(0, extraSamples);
    struct Sampled
    {
        std::vector<double> distance;
        double spacing = 0.0;
        double minimum = std::numeric_limits<double>::infinity();
    };
    std::vector<Sampled> sampled(m_segments.size());
    double globalMinimum = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < m_segments.size(); ++i)
    {
        Sampled& s = sampled[i];
        Eigen::Vector3d previous = m_segments[i].position(0.0);
        for (int k = 0; k <= samples; ++k)
        {
            const Eigen::Vector3d p = m_segments[i].position(double(k) / samples);
            s.spacing = std::max(s.spacing, (p - previous).norm());
            s.distance.push_back((p - q).norm());
            s.minimum = std::min(s.minimum, s.distance.back());
            previous = p;
        }
        globalMinimum = std::min(globalMinimum, s.minimum);
    }

    // Between two samples the true distance can undercut the sampled one by at most about the sample spacing, so
    // every local minimum of the samples within that margin of the best one is refined.
    Candidate best{ {}, std::numeric_limits<double>::infinity() };
    for (std::size_t i = 0; i < m_segments.size(); ++i)
    {
        const std::vector<double>& d = sampled[i].distance;
        for (int k = 0; k <= samples; ++k)
        {
            const bool localMinimum = (k == 0 || d[k] <= d[k - 1]) && (k == samples || d[k] <= d[k + 1]);
            if (!localMinimum || d[k] - sampled[i].spacing > globalMinimum)
                continue;
            const Candidate c =
              refineNearest(i, double(std::max(k - 1, 0)) / samples, double(std::min(k + 1, samples)) / samples, q);
            if (c.distanceSquared < best.distanceSquared)
                best = c;
        }
    }

    if (nearestPoint)
        *nearestPoint = m_segments[best.location.segment].position(best.location.t);
    if (atEnd)
        *atEnd = !m_closed && ((best.location.segment == 0 && best.location.t == 0.0) ||
                               (best.location.segment + 1 == m_segments.size() && best.location.t == 1.0));
    return arcLength(best.location);
}

} // namespace Kelvaros
