#include "imageio/PhantomVolume.h"

#include <algorithm>
#include <cmath>

#include <Eigen/Geometry>

#include "core/Log.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{

namespace
{
/// How deep the target lies: its distance from the body's centre as a share of the centre's distance to the skin
/// in that direction.
struct Sphere
{
    Eigen::Vector3d centre;
    double radius;
    float value;
};

struct Layout
{
    Eigen::Vector3d bodyCentre;
    Eigen::Vector3d bodySemiAxes;
    std::vector<Sphere> spheres; // painted in order, later over earlier
};

Layout layoutOf(const TrackingSimulator::GroundTruth& truth)
{
    Layout layout;
    const Eigen::Vector3d target = PhantomVolume::target_Phantom(truth);
    const PhantomVolume::Body body = PhantomVolume::body_Phantom(truth);
    layout.bodyCentre = body.centre;
    layout.bodySemiAxes = body.semiAxes;
    layout.spheres.push_back({ target, PhantomVolume::kTargetRadius, PhantomVolume::kTarget });
    for (const Eigen::Vector3d& landmark : truth.landmarks_Phantom)
        layout.spheres.push_back({ landmark, PhantomVolume::kFiducialRadius, PhantomVolume::kFiducial });
    return layout;
}

/// The grid's box in phantom coordinates: the body and every sphere, with the half voxel of air over which their
/// edges fade.
Eigen::AlignedBox3d gridBox(const Layout& layout, double spacing)
{
    Eigen::AlignedBox3d box(layout.bodyCentre - layout.bodySemiAxes, layout.bodyCentre + layout.bodySemiAxes);
    for (const Sphere& sphere : layout.spheres)
    {
        box.extend(sphere.centre - Eigen::Vector3d::Constant(sphere.radius));
        box.extend(sphere.centre + Eigen::Vector3d::Constant(sphere.radius));
    }
    return Eigen::AlignedBox3d(box.min().array() - spacing / 2.0, box.max().array() + spacing / 2.0);
}

/// The share of a voxel of width `width` inside a surface at signed distance `distance` (negative inside): a
/// linear ramp over one voxel, which keeps the intensity centroid of a symmetric shape at its centre.
double inside(double distance, double width)
{
    return std::clamp(0.5 - distance / width, 0.0, 1.0);
}

/// Signed distance from an ellipsoid's surface to first order (the implicit function over its gradient's norm),
/// exact on the surface, which is all the partial-volume ramp needs.
double ellipsoidDistance(const Eigen::Vector3d& point, const Eigen::Vector3d& centre, const Eigen::Vector3d& semiAxes)
{
    const Eigen::Vector3d q = (point - centre).cwiseQuotient(semiAxes);
    const double norm = q.norm();
    const double gradient = q.cwiseQuotient(semiAxes).norm();
    return gradient > 0.0 ? (norm - 1.0) * norm / gradient : -semiAxes.minCoeff();
}

float valueAt(const Eigen::Vector3d& point, const Layout& layout, double width)
{
    double value = PhantomVolume::kAir;
    const double body = inside(ellipsoidDistance(point, layout.bodyCentre, layout.bodySemiAxes), width);
    value += body * (PhantomVolume::kSoftTissue - PhantomVolume::kAir);
    for (const Sphere& sphere : layout.spheres)
    {
        const double share = inside((point - sphere.centre).norm() - sphere.radius, width);
        value += share * (sphere.value - value);
    }
    // Adding +0 turns a rounded -0 into 0, which an integer file type stores.
    return float(std::round(value)) + 0.0f;
}
} // namespace

Eigen::Vector3d PhantomVolume::target_Phantom(const TrackingSimulator::GroundTruth& truth)
{
    return truth.pathTarget_Phantom();
}

PhantomVolume::Body PhantomVolume::body_Phantom(const TrackingSimulator::GroundTruth& truth)
{
    return truth.body_Phantom();
}

std::unique_ptr<SharedImageSet> PhantomVolume::create(const TrackingSimulator::GroundTruth& truth, double spacing)
{
    if (!(spacing >= 0.5 && spacing <= 10.0))
    {
        Log::logf(Log::Error, "PhantomVolume", "A phantom spacing of {} mm is not in [0.5, 10] mm", spacing);
        return nullptr;
    }
    const Layout layout = layoutOf(truth);
    const Eigen::AlignedBox3d box = gridBox(layout, spacing);
    // Whole multiples of the spacing, so that at 1 mm the integer landmarks fall on voxel centres.
    const Eigen::Vector3d first = (box.min() / spacing).array().floor() * spacing;
    const Eigen::Vector3i dimensions = ((box.max() - first) / spacing).array().ceil().cast<int>() + 1;
    auto image =
      std::make_unique<SharedImageSet>("Phantom", dimensions, Eigen::Vector3d::Constant(spacing), Data::Modality::CT);
    std::vector<float>& voxels = image->voxels();
    size_t index = 0;
    for (int z = 0; z < dimensions.z(); ++z)
        for (int y = 0; y < dimensions.y(); ++y)
            for (int x = 0; x < dimensions.x(); ++x)
                voxels[index++] = valueAt(first + spacing * Eigen::Vector3d(x, y, z), layout, spacing);
    Eigen::Matrix4d imageToPhantom = Eigen::Matrix4d::Identity();
    imageToPhantom.block<3, 1>(0, 3) = first + spacing * (dimensions.cast<double>().array() - 1.0).matrix() / 2.0;
    image->setMatrix(imageToPhantom);
    return image;
}

} // namespace Kelvaros
