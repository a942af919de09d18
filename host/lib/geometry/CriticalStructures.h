#pragma once

#include <limits>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/geometry/MeshClosestPoint.h"

namespace Kelvaros
{

class Mesh;

/// How close a tool comes to the structures it must not touch (vessels, nerves), for the breach warning.
enum class BreachStatus
{
    /// There is nothing to warn about: no structure was given.
    NoStructures,
    /// The query was not finite (or the needle had no direction); reason says which.
    Refused,
    /// Farther than the margin.
    Clear,
    /// Outside, but within the margin.
    Warning,
    /// Inside a structure or touching it.
    Breach
};

/// The nearest structure to one tool sample.
struct BreachDistance
{
    BreachStatus status = BreachStatus::NoStructures;
    /// Name of the nearest structure; empty unless Clear, Warning or Breach.
    std::string structure;
    /// Signed, mm: positive outside, negative inside. A user reads "-2 mm" as two millimetres into the vessel, and
    /// the sign keeps depth and clearance on one scale, so a threshold or a plot needs no second column.
    double distance = std::numeric_limits<double>::infinity();
    bool inside = false;
    /// Where on the structure and where on the tool the distance is measured (image space, mm).
    Eigen::Vector3d structurePoint = Eigen::Vector3d::Zero();
    Eigen::Vector3d toolPoint = Eigen::Vector3d::Zero();
    /// 0 when the distance is exact. Far from every structure (beyond the margin plus
    /// CriticalStructures::kExactBeyondMargin) a reading may be approximate, to keep its cost bounded: the true
    /// distance then lies within `tolerance` of it (for a needle, within kTolerance more as always), and a caller
    /// shows it as "≈". The status is exact either way: an approximate reading is always Clear, with the true
    /// distance beyond the margin.
    double tolerance = 0;
    /// Why there is no distance (NoStructures, Refused).
    std::string reason;
};

/// Named critical structures in image space, each indexed once for exact closest points, and the distance of a
/// tool's tip or whole needle to the nearest of them.
///
/// Inside and outside follow each mesh's winding (outward normals, as MeshCreator and segmentations write them),
/// judged by the closest triangle: for an open surface "inside" is its back side, and within a hair of a sharp
/// concave edge the judgement can flip (MeshClosestPoint).
///
/// The needle is the segment from the tip back along the axis. Its distance is the least signed distance over the
/// segment, found by a best-first search over pieces of it: a distance d measured at a point means no surface lies
/// within d of it, so two measured points whose empty balls overlap enclose a stretch of needle with a known least
/// clearance, and only pieces that might hold something closer than the best so far are cut in two. Inside, the
/// closest points measured bound the depth the same way. The distance returned is one measured at the returned tool
/// point, so it is exact there, and at most kTolerance more than the true least distance over the segment. Far from
/// every structure the measured points may be approximate (BreachDistance::tolerance): the search bounds the stretches
/// by what each point's distance at least is, and the least may then lie up to kTolerance + tolerance below the
/// distance returned, or (inside) up to tolerance above it.
///
/// A point outside the ball around a structure's vertices is outside that structure even where an open surface's
/// back side faces it.
///
/// Built on one thread; then const queries may run on any number of threads at once.
class KELVAROS_API CriticalStructures
{
public:
    static constexpr double kDefaultMargin = 5.0;
    /// How far (mm) a needle's reported distance may exceed the true least one.
    static constexpr double kTolerance = 0.05;
    /// Longer needles are refused: no instrument is a metre long, and the search's memory grows with the length.
    static constexpr double kMaxNeedleLength = 1000.0;
    /// Readings up to this far (mm) beyond the margin are exact; farther ones may be too long by
    /// kFarRelativeError times the distance (and stay beyond this band), so that their cost does not grow with it.
    static constexpr double kExactBeyondMargin = 3.0;
    static constexpr double kFarRelativeError = 0.01;
    /// Inside, where any depth is a Breach, depths up to this (mm) are exact and deeper ones may be too deep by
    /// kDeepRelativeError times the depth.
    static constexpr double kExactDepth = 1.0;
    static constexpr double kDeepRelativeError = 0.05;

    /// False, with the reason (also logged as an Error, category "CriticalStructures"), for a mesh without a
    /// triangle to measure against.
    bool add(const std::string& name, const Mesh& mesh, std::string* reason);
    [[nodiscard]] std::size_t size() const { return m_structures.size(); }

    /// Outside within this distance (mm) is a Warning. False for a margin that is negative or not finite.
    bool setMargin(double margin);
    [[nodiscard]] double margin() const { return m_margin; }
    /// Every reading exact, however far (tolerance 0): for measuring a recording, where time per sample matters
    /// less than a figure a later analysis can rely on. Off by default, for the live warning.
    void setExact(bool exact) { m_exact = exact; }

    [[nodiscard]] BreachDistance tip(const Eigen::Vector3d& tip) const;
    /// The segment from `tip` to tip + length * axis (axis normalised here, pointing from the tip to the handle, as
    /// a calibrated tool's z axis does). A length of 0 measures the tip alone.
    [[nodiscard]] BreachDistance needle(const Eigen::Vector3d& tip, const Eigen::Vector3d& axis, double length) const;

private:
    struct Structure
    {
        std::string name;
        MeshClosestPoint index;
        /// A ball holding every vertex: whatever lies outside it is outside the structure, and no nearer to it
        /// than to the ball, so far structures and far stretches of needle need no exact query.
        Eigen::Vector3d center = Eigen::Vector3d::Zero();
        double radius = 0;
    };
    [[nodiscard]] BreachDistance classified(BreachDistance result) const;

    std::vector<Structure> m_structures;
    double m_margin = kDefaultMargin;
    bool m_exact = false;
};

} // namespace Kelvaros
