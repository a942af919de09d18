#include "CriticalStructures.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include <queue>

#include <Eigen/Geometry>

#include "core/Log.h"
#include "lib/geometry/Mesh.h"

namespace Kelvaros
{

namespace
{
/// One measurement along the needle: `t` mm from the tip, the signed distance there and the structure's closest
/// point.
struct Probe
{
    double t = 0;
    double signedDistance = 0;
    Eigen::Vector3d surfacePoint = Eigen::Vector3d::Zero();
    /// The true distance is at most this much less than `signedDistance` outside (more inside).
    double tolerance = 0;
};

/// A stretch of needle between two probes of one structure, with the least signed distance it can hold.
struct Piece
{
    Probe from;
    Probe to;
    std::size_t structure = 0;
    double bound = 0;
};

struct HigherBound
{
    bool operator()(const Piece& a, const Piece& b) const { return a.bound > b.bound; }
};

/// The surface lies outside both empty balls; where they overlap they cover the stretch, and the nearest the
/// surface can come to it is the circle where the two spheres meet (or an end, when that circle is beyond one).
double clearanceOfOverlappingBalls(double ra, double rb, double h)
{
    if (h <= std::abs(ra - rb))
        return std::min(ra, rb);
    const double along = (h * h + ra * ra - rb * rb) / (2 * h);
    if (along <= 0 || along >= h)
        return std::min(ra, rb);
    return std::sqrt(std::max(0.0, ra * ra - along * along));
}

/// No point of the stretch is deeper than its distance to either measured surface point; the least of two such
/// distances along a line peaks at an end or where they are equal.
double depthBound(const Eigen::Vector3d& start, const Eigen::Vector3d& direction, double h, const Eigen::Vector3d& qa,
                  const Eigen::Vector3d& qb)
{
    const auto at = [&](double s)
    {
        const Eigen::Vector3d x = start + s * direction;
        return std::min((x - qa).norm(), (x - qb).norm());
    };
    double most = std::max(at(0), at(h));
    const double slope = 2 * direction.dot(qb - qa);
    if (slope != 0)
    {
        const double s = ((start - qb).squaredNorm() - (start - qa).squaredNorm()) / slope;
        if (s > 0 && s < h)
            most = std::max(most, at(s));
    }
    return most;
}

/// The least signed distance the stretch can hold. A distance changes no faster than the point moves, which alone
/// would force pieces as short as the tolerance wherever the needle runs along a surface; the empty balls (outside)
/// and the measured surface points (inside) shrink that to pieces of about sqrt(8 d tolerance).
double lowerBound(const Piece& piece, const Eigen::Vector3d& tip, const Eigen::Vector3d& direction)
{
    // An approximate distance may be too long outside; what the point surely has is less by its tolerance.
    const double a = piece.from.signedDistance - piece.from.tolerance;
    const double b = piece.to.signedDistance - piece.to.tolerance;
    const double h = piece.to.t - piece.from.t;
    const double moving = (a + b - h) / 2;
    if (a > 0 && b > 0 && h < a + b)
        return std::max(moving, clearanceOfOverlappingBalls(a, b, h));
    const double deepest =
      depthBound(tip + piece.from.t * direction, direction, h, piece.from.surfacePoint, piece.to.surfacePoint);
    return std::max(moving, -deepest);
}

/// The ball every vertex of a structure lies in.
struct Ball
{
    Eigen::Vector3d center = Eigen::Vector3d::Zero();
    double radius = 0;
};

Probe probe(const MeshClosestPoint& index, const Ball& ball, const MeshClosestPoint::Approximation& approximation,
            const Eigen::Vector3d& tip, const Eigen::Vector3d& direction, double t)
{
    const Eigen::Vector3d point = tip + t * direction;
    const MeshClosestPoint::Hit hit = index.query(point, approximation);
    // A point level with its closest triangle lies off one of the triangle's edges or corners, as points beside a
    // convex edge do (a needle in the plane of a cylinder's cap): outside. The strict side test of the hit would let
    // rounding put such points inside and raise a false breach.
    const double side = hit.normal.dot(point - hit.point);
    const bool inside = side < -1e-9 * std::max(1.0, hit.distance) && (point - ball.center).norm() < ball.radius;
    return { t, inside ? -hit.distance : hit.distance, hit.point, hit.tolerance };
}

Ball ballAround(const Mesh& mesh)
{
    Eigen::AlignedBox3d box;
    for (const Eigen::Vector3d& v : mesh.vertices())
        if (v.allFinite())
            box.extend(v);
    Ball ball{ box.center(), 0 };
    for (const Eigen::Vector3d& v : mesh.vertices())
        if (v.allFinite())
            ball.radius = std::max(ball.radius, (v - ball.center).norm());
    return ball;
}

/// The stretch [from, to] of the needle within `reach` of the ball's surface; empty when none is.
std::optional<std::pair<double, double>> spanNear(const Ball& ball, double reach, const Eigen::Vector3d& tip,
                                                  const Eigen::Vector3d& direction, double length)
{
    const double within = ball.radius + reach;
    const double along = (ball.center - tip).dot(direction);
    const double across2 = (ball.center - tip).squaredNorm() - along * along;
    if (across2 > within * within)
        return std::nullopt;
    const double half = std::sqrt(within * within - across2);
    const double from = std::max(0.0, along - half);
    const double to = std::min(length, along + half);
    return from <= to ? std::optional(std::pair(from, to)) : std::nullopt;
}

std::optional<std::string> refusalOf(const Eigen::Vector3d& tip, const Eigen::Vector3d& axis, double length)
{
    if (!tip.allFinite())
        return "the tip position is not finite";
    if (!std::isfinite(length) || length < 0 || length > CriticalStructures::kMaxNeedleLength)
        return "the needle length must be between 0 and 1000 mm";
    if (length > 0 && (!axis.allFinite() || !(axis.norm() > 0)))
        return "the needle axis is not a finite direction";
    return std::nullopt;
}

BreachDistance withReason(BreachStatus status, std::string reason)
{
    BreachDistance result;
    result.status = status;
    result.reason = std::move(reason);
    return result;
}
} // namespace

bool CriticalStructures::add(const std::string& name, const Mesh& mesh, std::string* reason)
{
    MeshClosestPoint index(mesh);
    if (index.empty())
    {
        *reason = "the structure '" + name + "' has no triangle to measure against";
        Log::log(Log::Error, "CriticalStructures", *reason);
        return false;
    }
    const Ball ball = ballAround(mesh);
    m_structures.push_back({ name, std::move(index), ball.center, ball.radius });
    return true;
}

bool CriticalStructures::setMargin(double margin)
{
    if (!std::isfinite(margin) || margin < 0)
        return false;
    m_margin = margin;
    return true;
}

BreachDistance CriticalStructures::tip(const Eigen::Vector3d& tip) const
{
    return needle(tip, Eigen::Vector3d::UnitZ(), 0);
}

BreachDistance CriticalStructures::needle(const Eigen::Vector3d& tip, const Eigen::Vector3d& axis, double length) const
{
    if (const auto refusal = refusalOf(tip, axis, length))
        return withReason(BreachStatus::Refused, *refusal);
    if (m_structures.empty())
        return withReason(BreachStatus::NoStructures, "no structures");
    const Eigen::Vector3d direction = length > 0 ? axis.normalized() : Eigen::Vector3d::UnitZ();
    const MeshClosestPoint::Approximation approximation =
      m_exact ? MeshClosestPoint::Approximation{}
              : MeshClosestPoint::Approximation{ m_margin + kExactBeyondMargin, kFarRelativeError, kExactDepth,
                                                 kDeepRelativeError };

    BreachDistance best;
    const auto measure = [&](std::size_t structure, double t)
    {
        const Structure& s = m_structures[structure];
        const Probe p = probe(s.index, Ball{ s.center, s.radius }, approximation, tip, direction, t);
        if (p.signedDistance < best.distance)
        {
            best.distance = p.signedDistance;
            best.tolerance = p.tolerance;
            best.structure = s.name;
            best.structurePoint = p.surfacePoint;
            best.toolPoint = tip + p.t * direction;
        }
        return p;
    };
    std::priority_queue<Piece, std::vector<Piece>, HigherBound> pieces;
    const auto push = [&](const Probe& from, const Probe& to, std::size_t structure)
    {
        Piece piece{ from, to, structure, 0 };
        piece.bound = lowerBound(piece, tip, direction);
        pieces.push(piece);
    };
    // Nearest ball first: its distance usually rules the others out before their costly exact queries.
    std::vector<std::size_t> order(m_structures.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    const auto ballGap = [&](std::size_t i) { return (tip - m_structures[i].center).norm() - m_structures[i].radius; };
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return ballGap(a) < ballGap(b); });
    for (const std::size_t i : order)
    {
        const Structure& s = m_structures[i];
        // Only the stretch of needle nearer the ball than the best so far can beat it.
        const auto span = spanNear(Ball{ s.center, s.radius }, best.distance, tip, direction, length);
        if (!span)
            continue;
        const Probe from = measure(i, span->first);
        // The first query usually narrows the span a lot: it gives the first finite best.
        const auto narrowed = spanNear(Ball{ s.center, s.radius }, best.distance, tip, direction, length);
        const double to = narrowed ? std::min(span->second, narrowed->second) : span->first;
        if (to > span->first)
            push(from, measure(i, to), i);
    }
    // Best first: once the most promising piece cannot beat the best by the tolerance, none can. A piece shorter
    // than twice the tolerance never gets here (its bound is within half of it), so the pieces stay finite in number.
    // Far from everything the points' own tolerances lower the bounds; the search then settles for as much, and
    // never for so much that the least could come within the exact band.
    const auto allowance = [&]
    {
        const double far = best.distance - approximation.exactWithin;
        return far > 0 ? std::min(far, 2 * approximation.relative * best.distance) : 0.0;
    };
    while (!pieces.empty() && pieces.top().bound < best.distance - kTolerance - allowance())
    {
        const Piece piece = pieces.top();
        pieces.pop();
        if (piece.to.t - piece.from.t <= kTolerance)
            continue;
        const Probe middle = measure(piece.structure, (piece.from.t + piece.to.t) / 2);
        push(piece.from, middle, piece.structure);
        push(middle, piece.to, piece.structure);
    }
    if (length > 0)
        best.tolerance = std::max(best.tolerance, allowance());
    return classified(best);
}

BreachDistance CriticalStructures::classified(BreachDistance result) const
{
    result.inside = result.distance < 0;
    if (result.distance <= 0)
        result.status = BreachStatus::Breach;
    else if (result.distance <= m_margin)
        result.status = BreachStatus::Warning;
    else
        result.status = BreachStatus::Clear;
    return result;
}

} // namespace Kelvaros
