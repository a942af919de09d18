#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

namespace Kelvaros
{

/// How a pair's residual after the fit compares with the expected fiducial localisation error FLE (the RMS 3D
/// length of one landmark's localisation error). For well-placed landmarks the residual's length is about
/// FLE · chi(3) / sqrt(3) or less (the fit absorbs part of it): above 2 FLE for under 1 in 130 landmarks, above 3 FLE
/// for under 1 in 150,000.
enum class ResidualClass
{
    Fine,   ///< residual ≤ 2 FLE
    High,   ///< 2 FLE < residual ≤ 3 FLE: worth a second look
    Outlier ///< residual > 3 FLE: the landmark is very likely misplaced
};

/// One pair's figures, in millimetres of the image side.
struct PairQuality
{
    /// |T tracked - image| under the fit T of all pairs.
    double residual = 0.0;
    ResidualClass residualClass = ResidualClass::Fine;
    /// Leave-one-out: the fit of the other pairs, its RMS fiducial error, its predicted target error at the target
    /// and this pair's residual under it. NaN when the other pairs cannot be fitted (fewer than three, collinear).
    double freWithout = 0.0;
    double treWithout = 0.0;
    double leftOutResidual = 0.0;
};

/// What the registration panel shows after a fit.
struct RegistrationQualityReport
{
    /// Maps tracked points onto image points (least squares, rigid).
    Eigen::Matrix4d trackedToImage = Eigen::Matrix4d::Identity();
    /// RMS fiducial registration error of the fit of all pairs (mm).
    double fre = 0.0;
    /// Predicted RMS target registration error at the target (mm).
    double treAtTarget = 0.0;
    std::vector<PairQuality> pairs;
    /// The pair (0-based) whose removal clearly improves the fit, if one does.
    std::optional<std::size_t> suspect;
    /// For the suspect, "pair 4: FRE 1.8 → 0.3 mm" (1-based, FRE with and without it); empty otherwise.
    std::string hint;
};

/// Quality of a paired-point registration beyond its FRE: residual per pair, leave-one-out fits, and the pair whose
/// removal improves the fit most, pointed out only when the improvement is clear: its residual under the fit of
/// the others exceeds 3 FLE (where a landmark placed with the expected error practically never lies), and the FRE
/// without it is below three quarters of the FRE with it (one misplaced landmark among many raises the RMS over all
/// less than among few, so halving would miss it there). Nothing is removed; the caller decides.
///
/// Pure functions, any thread. Refused input logs one Warning (category "RegistrationQuality") and gives nothing.
namespace RegistrationQuality
{

/// The class of a residual (mm) for the expected FLE (mm).
[[nodiscard]] ResidualClass classify(double residual, double fle);

/// Evaluates the fit of `tracked` onto `image` (paired by index, mm) for the expected FLE (mm, positive) with the
/// target given in image coordinates. Refused: counts differ, fewer than 3 pairs, FLE not positive and finite, a
/// target that is not finite, or pairs that cannot be fitted at all (logged by the fit).
[[nodiscard]] std::optional<RegistrationQualityReport> evaluate(const std::vector<Eigen::Vector3d>& tracked,
                                                                const std::vector<Eigen::Vector3d>& image, double fle,
                                                                const Eigen::Vector3d& target);

/// Predicted RMS target registration error (mm) at `point` (image coordinates) of a fit on the landmarks `image`
/// with the expected FLE; nothing for fewer than 3 or collinear landmarks.
[[nodiscard]] std::optional<double> predictedTre(const std::vector<Eigen::Vector3d>& image, double fle,
                                                 const Eigen::Vector3d& point);

} // namespace RegistrationQuality

} // namespace Kelvaros
