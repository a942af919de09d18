#include "lib/points/PointCorrespondences.h"

#include <algorithm>
#include <cmath>

#include <Eigen/LU>

#include "core/Log.h"
#include "lib/Data.h"
#include "lib/numerics/Math.h"
#include "lib/numerics/RigidRegistration.h"
#include "lib/points/PointsOnData.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "PointCorrespondences";

bool validFle(double fle)
{
    if (std::isfinite(fle) && fle >= 0.0)
        return true;
    Log::logf(Log::Warning, kCategory, "Cannot predict the target registration error for a localisation error of {}",
              fle);
    return false;
}
} // namespace

std::optional<double> PointCorrespondences::RigidFit::predictedTre(const Eigen::Vector3d& point,
                                                                   std::optional<double> fle) const
{
    const double f = fle.value_or(fleEstimate);
    if (!validFle(f))
        return std::nullopt;
    return RigidRegistration::predictedTre(fiducials, f, point);
}

std::optional<double> PointCorrespondences::RigidFit::predictedTreAtCentroid(std::optional<double> fle) const
{
    const double f = fle.value_or(fleEstimate);
    if (!validFle(f))
        return std::nullopt;
    return RigidRegistration::predictedTreAtCentroid(fiducials, f);
}

PointCorrespondences::PointCorrespondences(PointsOnData& first, PointsOnData& second) : m_first(first), m_second(second)
{
}

PointCorrespondences::PointCorrespondences(std::shared_ptr<PointsOnData> first, std::shared_ptr<PointsOnData> second)
  : m_firstOwner(std::move(first)), m_secondOwner(std::move(second)), m_first(*m_firstOwner), m_second(*m_secondOwner)
{
}

PointCorrespondences::~PointCorrespondences() = default;

int PointCorrespondences::size() const
{
    return std::min(m_first.size(), m_second.size());
}

void PointCorrespondences::clear()
{
    m_first.clear();
    m_second.clear();
}

std::optional<PointCorrespondences::RigidFit> PointCorrespondences::fit(
  const std::optional<std::vector<int>>& selection) const
{
    const int pairs = size();
    std::vector<int> indices;
    if (selection)
    {
        std::vector<bool> used(size_t(std::max(pairs, 0)), false);
        for (int i : *selection)
        {
            if (i < 0 || i >= pairs || used[size_t(i)])
            {
                Log::logf(Log::Warning, kCategory, "Cannot fit a rigid transform: pair index {} is {} ({} pairs)", i,
                          i < 0 || i >= pairs ? "out of range" : "selected twice", pairs);
                return std::nullopt;
            }
            used[size_t(i)] = true;
            indices.push_back(i);
        }
    }
    else
    {
        for (int i = 0; i < pairs; ++i)
            indices.push_back(i);
    }

    // Both sides are taken into the moving data's own coordinates: p_i directly, the fixed partners through
    // V⁻¹ from world space, so that the fitted T composes on the right of V.
    const Data* moving = m_second.data();
    const Eigen::Matrix4d fromWorld =
      moving ? Eigen::Matrix4d(moving->matrixToWorld().inverse()) : Eigen::Matrix4d::Identity();
    const Eigen::Matrix4d fixedToMoving = fromWorld * m_first.pointsToWorld();
    const Eigen::Matrix4d movingToMoving = fromWorld * m_second.pointsToWorld();
    const auto& fixedPoints = m_first.allPoints();
    const auto& movingPoints = m_second.allPoints();

    RigidFit result;
    std::vector<Eigen::Vector3d> targets;
    for (int i : indices)
    {
        result.fiducials.push_back(Math::transformPointAffine(movingToMoving, movingPoints[size_t(i)]));
        targets.push_back(Math::transformPointAffine(fixedToMoving, fixedPoints[size_t(i)]));
    }

    const auto transform = RigidRegistration::fitRigid(result.fiducials, targets, &result.fre);
    if (!transform)
        return std::nullopt;
    result.transform = *transform;
    result.fleEstimate = RigidRegistration::estimateFle(result.fre, result.fiducials.size());
    return result;
}

std::optional<Eigen::Matrix4d> PointCorrespondences::fitRigid(double* error,
                                                              const std::optional<std::vector<int>>& selection) const
{
    const auto result = fit(selection);
    if (!result)
        return std::nullopt;
    if (error)
        *error = result->fre;
    return result->transform;
}

std::optional<double> PointCorrespondences::predictedTre(const Eigen::Vector3d& point, std::optional<double> fle,
                                                         const std::optional<std::vector<int>>& selection) const
{
    const auto result = fit(selection);
    return result ? result->predictedTre(point, fle) : std::nullopt;
}

std::optional<double> PointCorrespondences::predictedTreAtCentroid(
  std::optional<double> fle, const std::optional<std::vector<int>>& selection) const
{
    const auto result = fit(selection);
    return result ? result->predictedTreAtCentroid(fle) : std::nullopt;
}

} // namespace Kelvaros
