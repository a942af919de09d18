#pragma once

#include <memory>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

class PointsOnData;

/// Pairs the points of two point sets by index: point i of the first set with point i of the second. The first
/// set is the fixed side (for a tracker-to-volume registration: the points touched with the tracked pointer), the
/// second the moving side, whose data object the registration places (the volume).
///
/// The rigid fit answers: which transform T, applied on the right of the moving data's placement (its
/// Data::matrixToWorld V), brings every second-set point onto its first-set partner in world space? With p_i a
/// second-set point in its data's own coordinates (V⁻¹ times its world position) and w_i the world position of
/// the first-set partner (the first set's pointsToWorld() applied to its point), the fit minimises
/// sum |V T p_i - w_i|², i.e. T p_i ≈ V⁻¹ w_i, so that V · T is the registered placement. For a tracked pointer
/// and a volume: p_i are image coordinates, w_i = S q_i with q_i the tracked points in tracker space and S the
/// stream's world (registration) matrix, identity unless something registered the stream.
///
/// Not synchronised: the point sets are read on the calling thread (the user-interface thread).
class KELVAROS_API PointCorrespondences
{
public:
    /// Result of a fit, with what the error prediction needs.
    struct RigidFit
    {
        /// T of the class comment: moving data coordinates → registered moving data coordinates (4x4, mm).
        Eigen::Matrix4d transform = Eigen::Matrix4d::Identity();
        /// RMS fiducial registration error sqrt(mean |T p_i - V⁻¹ w_i|²), mm.
        double fre = 0.0;
        /// Fiducial localisation error estimated from the FRE: FLE² ≈ FRE² N / (N − 2) (noisy for few pairs), mm.
        double fleEstimate = 0.0;
        /// The second-set points p_i used in the fit, in the moving data's coordinates.
        std::vector<Eigen::Vector3d> fiducials;

        /// Predicted RMS target registration error (Fitzpatrick–West–Maurer) at `point`, given in the moving
        /// data's coordinates (for a volume: image coordinates), for a fiducial localisation error `fle` (mm);
        /// without one, fleEstimate is used. Empty (Warning logged) for a negative or non-finite FLE.
        [[nodiscard]] std::optional<double> predictedTre(const Eigen::Vector3d& point,
                                                         std::optional<double> fle = std::nullopt) const;
        /// The same at the centroid of the fiducials: FLE / sqrt(N).
        [[nodiscard]] std::optional<double> predictedTreAtCentroid(std::optional<double> fle = std::nullopt) const;
    };

    /// Pairs two sets that the caller keeps alive for the lifetime of this object.
    PointCorrespondences(PointsOnData& first, PointsOnData& second);
    /// Pairs two shared sets and keeps them alive.
    PointCorrespondences(std::shared_ptr<PointsOnData> first, std::shared_ptr<PointsOnData> second);
    PointCorrespondences(const PointCorrespondences&) = delete;
    PointCorrespondences& operator=(const PointCorrespondences&) = delete;
    ~PointCorrespondences();

    [[nodiscard]] PointsOnData& first() const { return m_first; }
    [[nodiscard]] PointsOnData& second() const { return m_second; }

    /// Number of complete pairs: the smaller of the two set sizes.
    [[nodiscard]] int size() const;
    /// Removes every point of both sets.
    void clear();

    /// Fits T (see the class comment) on the pairs listed in `selection` (indices below size(), each at most
    /// once), or on every pair when it is empty. Refused, with an empty result and a Warning in the log: an
    /// invalid selection, fewer than 3 pairs, coincident or collinear points on either side, non-finite
    /// coordinates.
    [[nodiscard]] std::optional<RigidFit> fit(const std::optional<std::vector<int>>& selection = std::nullopt) const;
    /// The transform of fit(selection); `error`, when given, receives its RMS fiducial registration error in mm
    /// (untouched on refusal).
    [[nodiscard]] std::optional<Eigen::Matrix4d> fitRigid(
      double* error, const std::optional<std::vector<int>>& selection = std::nullopt) const;

    /// Predicted RMS target registration error of fit(selection) at `point` (moving data coordinates); the FLE
    /// is `fle` or, when empty, estimated from the fit's FRE. Empty when the fit is refused.
    [[nodiscard]] std::optional<double> predictedTre(
      const Eigen::Vector3d& point, std::optional<double> fle = std::nullopt,
      const std::optional<std::vector<int>>& selection = std::nullopt) const;
    /// The same at the centroid of the selected second-set points.
    [[nodiscard]] std::optional<double> predictedTreAtCentroid(
      std::optional<double> fle = std::nullopt, const std::optional<std::vector<int>>& selection = std::nullopt) const;

private:
    std::shared_ptr<PointsOnData> m_firstOwner;
    std::shared_ptr<PointsOnData> m_secondOwner;
    PointsOnData& m_first;
    PointsOnData& m_second;
};

} // namespace Kelvaros
