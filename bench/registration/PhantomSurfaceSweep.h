#pragma once

// The pointer sweep over the simulator's phantom that the surface refinement study and its tests share.

#include <cmath>
#include <random>
#include <vector>

#include <Eigen/Core>

#include "imageio/PhantomVolume.h"

namespace Kelvaros::PhantomSurfaceSweep
{

/// The side of the body a user standing at the phantom reaches (its -y side, tilted up), as a cone around this
/// direction from the body's centre.
inline Eigen::Vector3d reachableSide()
{
    return Eigen::Vector3d(0.2, -1.0, 0.6).normalized();
}
constexpr double kHalfAngle = 55.0 * M_PI / 180.0;
/// Points closer than this to a landmark are skipped: the fiducial spheres bulge the image's surface there.
constexpr double kClearance = PhantomVolume::kFiducialRadius + 4.0;

/// Outward unit normal of the body at a point on it.
inline Eigen::Vector3d bodyNormal(const PhantomVolume::Body& body, const Eigen::Vector3d& point)
{
    return (point - body.centre).cwiseQuotient(body.semiAxes.cwiseProduct(body.semiAxes)).normalized();
}

/// `count` points on the reachable side of an ellipsoidal `body` (a cone of `halfAngle` radians), farther than
/// kClearance from each of `avoid`, each with Gaussian noise of `sigma` mm per axis.
inline std::vector<Eigen::Vector3d> points(const PhantomVolume::Body& body, const std::vector<Eigen::Vector3d>& avoid,
                                           int count, double sigma, std::mt19937& rng, double halfAngle = kHalfAngle)
{
    std::normal_distribution<double> normal;
    std::vector<Eigen::Vector3d> points;
    while (int(points.size()) < count)
    {
        const Eigen::Vector3d u = Eigen::Vector3d(normal(rng), normal(rng), normal(rng)).normalized();
        const Eigen::Vector3d p = body.centre + body.semiAxes.cwiseProduct(u);
        bool clear = u.dot(reachableSide()) > std::cos(halfAngle);
        for (const Eigen::Vector3d& landmark : avoid)
            clear = clear && (p - landmark).norm() > kClearance;
        if (clear)
            points.push_back(p + sigma * Eigen::Vector3d(normal(rng), normal(rng), normal(rng)));
    }
    return points;
}

/// The sweep over the phantom's body, clear of its fiducials, in phantom coordinates (mm).
inline std::vector<Eigen::Vector3d> points_Phantom(const TrackingSimulator::GroundTruth& truth, int count, double sigma,
                                                   std::mt19937& rng)
{
    return points(PhantomVolume::body_Phantom(truth), truth.landmarks_Phantom, count, sigma, rng);
}

} // namespace Kelvaros::PhantomSurfaceSweep
