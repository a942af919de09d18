#include "visualization/SliceViewLinking.h"

#include <algorithm>
#include <cmath>

#include <Eigen/LU>

#include "lib/view/Slice.h"

#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{

SliceViewLinking::Options SliceViewLinking::Options::from(const ToolVisualizationAlgorithm& algorithm)
{
    Options options;
    options.linkMPRs = algorithm.p_linkMPRs.value();
    options.linkWithRot = algorithm.p_linkWithRot.value();
    options.snapToClosestAxis = algorithm.p_snapToClosestAxis.value();
    options.ignoreInPlaneTranslation = algorithm.p_ignoreInPlaneTranslation.value();
    return options;
}

Eigen::Matrix4d SliceViewLinking::closestAxisPermutation(const Eigen::Matrix4d& toolMatrix)
{
    // Six permutations: brute force is exact and cheaper than an assignment solver.
    std::array<int, 3> permutation{ 0, 1, 2 };
    std::array<int, 3> best = permutation;
    double bestSum = -1.0;
    do
    {
        double sum = 0.0;
        for (int i = 0; i < 3; ++i)
            sum += std::abs(toolMatrix(i, permutation[size_t(i)]));
        if (sum > bestSum) // strictly: the first maximum stays
        {
            bestSum = sum;
            best = permutation;
        }
    } while (std::next_permutation(permutation.begin(), permutation.end()));

    Eigen::Matrix4d p = Eigen::Matrix4d::Zero();
    for (int j = 0; j < 3; ++j)
        p(best[size_t(j)], j) = 1.0;
    p(3, 3) = 1.0;
    // An odd permutation is a reflection; negating the 3x3 block (det (-1)^3 = -1) makes it a rotation again.
    if (p.determinant() < 0.0)
        p.topLeftCorner<3, 3>() *= -1.0;
    return p;
}

std::array<Eigen::Matrix4d, 3> SliceViewLinking::baseOrientations(const Eigen::Matrix4d& toolMatrix, bool snap)
{
    const Eigen::Matrix4d p = snap ? closestAxisPermutation(toolMatrix) : Eigen::Matrix4d::Identity();
    std::array<Eigen::Matrix4d, 3> bases;
    for (int k = 0; k < 3; ++k)
        bases[size_t(k)] = p * Slice::linkedOrientation(*Slice::planeFromIndex(k));
    return bases;
}

std::optional<std::array<Eigen::Matrix4d, 3>> SliceViewLinking::linkedPoses(
  const std::optional<Eigen::Matrix4d>& toolMatrix, const Options& options, const std::array<View, 3>& views)
{
    if (!options.linkMPRs || !toolMatrix)
        return std::nullopt;
    const bool anyShown =
      std::any_of(views.begin(), views.end(), [](const View& v) { return v.width > 0 && v.height > 0; });
    if (!anyShown)
        return std::nullopt;

    const Eigen::Matrix4d& m = *toolMatrix;
    const std::array<Eigen::Matrix4d, 3> bases = baseOrientations(m, options.snapToClosestAxis);
    std::array<Eigen::Matrix4d, 3> result;
    for (size_t k = 0; k < 3; ++k)
    {
        const Eigen::Matrix4d& current = views[k].pose;
        Eigen::Matrix4d linked;
        if (options.linkWithRot)
            linked = m * bases[k];
        else
        {
            linked = m;
            linked.topLeftCorner<3, 3>() = current.topLeftCorner<3, 3>();
        }
        if (options.ignoreInPlaneTranslation)
        {
            // Keep only the component of the displacement along the view's normal n: o + ((p − o) · n) n.
            const Eigen::Vector3d n = current.block<3, 1>(0, 2);
            const Eigen::Vector3d o = current.block<3, 1>(0, 3);
            const Eigen::Vector3d p = linked.block<3, 1>(0, 3);
            linked.block<3, 1>(0, 3) = o + (p - o).dot(n) * n;
        }
        result[k] = linked;
    }
    return result;
}

std::optional<std::array<Eigen::Matrix4d, 3>> SliceViewLinking::linkedPoses(
  const std::optional<Eigen::Matrix4d>& toolMatrix, const ToolVisualizationAlgorithm& algorithm,
  const std::array<View, 3>& views)
{
    return linkedPoses(toolMatrix, Options::from(algorithm), views);
}

} // namespace Kelvaros
