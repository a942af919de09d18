#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// How a pair's residual after the fit compares with the localisation error FLE it is judged against (the RMS 3D
/// length of one landmark's localisation error). For well-placed landmarks the residual's length is about
/// FLE · chi(3) / sqrt(3) or less (the fit absorbs part of it): above 2 FLE for under 1 in 130 landmarks, above 3 FLE
/// for under 1 in 150,000.
enum class ResidualClass
{
    Fine,   ///< residual ≤ 2 FLE
    High,   ///< 2 FLE < residual ≤ 3 FLE: worth a second look
    Outlier ///< residual > 3 FLE: the landmark is very likely misplaced
};

/// Whether the fit's residuals are what the expected localisation error allows.
enum class RegistrationVerdict
{
    /// The FRE lies within the 99th percentile of its distribution under the expected FLE.
    Plausible,
    /// The FRE lies beyond it: pairs swapped or misplaced, or the FLE expected too small.
    Improbable,
    /// No expected FLE to test against.
    NotJudged
};

/// Which localisation error the predicted target error rests on.
enum class FleSource
{
    Expected,
    EstimatedFromFre
};

/// One pair's figures, in millimetres of the image side.
struct PairQuality
{
    /// |T tracked - image| under the fit T of all pairs.
    double residual = 0.0;
    ResidualClass residualClass = ResidualClass::Fine;
    /// Leave-one-out: the fit of the other pairs, its RMS fiducial error, its predicted target error at the target
    /// (with the FLE used) and this pair's residual under it. NaN when the other pairs cannot be fitted (fewer than
    /// three, collinear).
    double freWithout = 0.0;
    double treWithout = 0.0;
    double leftOutResidual = 0.0;
};

/// The judgement of a paired-point registration.
struct RegistrationQualityReport
{
    /// Maps tracked points onto image points (least squares, rigid).
    Eigen::Matrix4d trackedToImage = Eigen::Matrix4d::Identity();
    /// RMS fiducial registration error of the fit of all pairs (mm).
    double fre = 0.0;
    /// The FLE the user expects (mm); empty when none was given.
    std::optional<double> expectedFle;
    /// The FLE the FRE implies: FRE · sqrt(N / (N − 2)) (mm).
    double fleFromFre = 0.0;
    /// The larger of the two: a prediction never assumes landmarks better placed than the fit shows they were.
    double fleUsed = 0.0;
    FleSource fleSource = FleSource::EstimatedFromFre;
    /// For N pairs with isotropic FLE σ, N · FRE² / (σ² / 3) follows chi-squared with 3N − 6 degrees of freedom.
    int degreesOfFreedom = 0;
    /// That statistic and its upper-tail probability under the expected FLE, and the FRE at its 99th percentile
    /// (mm). NaN without an expected FLE.
    double freStatistic = 0.0;
    double freTailProbability = 0.0;
    double freLimit = 0.0;
    RegistrationVerdict verdict = RegistrationVerdict::NotJudged;
    /// Predicted RMS target registration error at the target with fleUsed (mm); NaN when it cannot be predicted.
    double treAtTarget = 0.0;
    std::vector<PairQuality> pairs;
    /// The pair (0-based) whose removal clearly improves the fit, if one does.
    std::optional<std::size_t> suspect;
    /// For the suspect, "pair 4: FRE 1.8 → 0.3 mm" (1-based, FRE with and without it); empty otherwise.
    std::string hint;
    /// For an improbable fit, the two pairs (0-based) whose image points, exchanged, make the fit plausible again
    /// (FRE within twice the 99th-percentile limit and below three quarters of the FRE), and that FRE (mm).
    std::optional<std::pair<std::size_t, std::size_t>> swapped;
    double freIfSwapped = 0.0;
    /// For an improbable fit, the pairs to check first (0-based): the swapped ones when found, otherwise those with
    /// the largest residuals, largest first, then the suspect when it is not among them. Empty otherwise.
    std::vector<std::size_t> worstPairs;
};

/// The report in sentences a user can act on; the panel, the command-line tool and the log all show these.
struct KELVAROS_API RegistrationQualityText
{
    /// Whether the fit is plausible, improbable (a warning, saying what to do) or cannot be judged.
    std::string verdict;
    /// For an improbable fit, the pairs to check with their residuals and the leave-one-out hint; else empty.
    std::string worstPairs;
    /// Which localisation error the prediction uses, and why.
    std::string fle;
    /// The predicted target error at the target; for an improbable fit, said not to be trusted.
    std::string tre;

    /// The non-empty sentences, separated by blanks.
    [[nodiscard]] std::string joined() const;
};

/// Quality of a paired-point registration beyond its FRE.
///
/// The verdict tests the FRE against the expected localisation error: with N pairs and isotropic, independent
/// localisation errors of RMS length σ, N · FRE² / (σ² / 3) follows chi-squared with 3N − 6 degrees of freedom
/// (Sibson 1979; Fitzpatrick, West and Maurer 1998). An FRE beyond the 99th percentile of that distribution is
/// improbable: correct pairs give it once in a hundred registrations, a swapped or misplaced pair nearly always.
///
/// Beside it: the residual per pair, leave-one-out fits, and the pair whose removal improves the fit most, pointed
/// out only when the improvement is clear: its residual under the fit of the others exceeds 3 FLE (where a landmark
/// placed with the expected error practically never lies), and the FRE without it is below three quarters of the
/// FRE with it (one misplaced landmark among many raises the RMS over all less than among few, so halving would miss
/// it there). Two swapped pairs need more: removing one of them leaves the other, and the fit may turn so far
/// towards the wrong pairing that the largest residuals fall on other pairs. So an improbable fit is also refitted
/// with each two image points exchanged; an exchange that makes it plausible names the swapped pairs. Nothing is
/// removed or exchanged; the caller decides.
///
/// Pure functions, any thread. Refused input logs one Warning (category "RegistrationQuality") and gives nothing.
namespace RegistrationQuality
{

/// The class of a residual (mm) for the FLE (mm) it is judged against.
[[nodiscard]] KELVAROS_API ResidualClass classify(double residual, double fle);

/// Evaluates the fit of `tracked` onto `image` (paired by index, mm) with the target given in image coordinates.
/// `expectedFle` (mm) is what the user expects of one landmark; without it the fit is not judged and residuals are
/// classed against the FLE estimated from the FRE. Refused: counts differ, fewer than 3 pairs, an expected FLE that
/// is not positive and finite, a target that is not finite, or pairs that cannot be fitted at all (logged by the fit).
[[nodiscard]] KELVAROS_API std::optional<RegistrationQualityReport> evaluate(
  const std::vector<Eigen::Vector3d>& tracked, const std::vector<Eigen::Vector3d>& image,
  std::optional<double> expectedFle, const Eigen::Vector3d& target);

/// Predicted RMS target registration error (mm) at `point` (image coordinates) of a fit on the landmarks `image`
/// with the FLE; nothing for fewer than 3 or collinear landmarks.
[[nodiscard]] KELVAROS_API std::optional<double> predictedTre(const std::vector<Eigen::Vector3d>& image, double fle,
                                                              const Eigen::Vector3d& point);

/// The centroid of the points; zero for none.
[[nodiscard]] KELVAROS_API Eigen::Vector3d centroid(const std::vector<Eigen::Vector3d>& points);

/// The report in sentences; `targetName` completes "Predicted target registration error at …" ("the centroid of
/// the landmarks", "the picked target").
[[nodiscard]] KELVAROS_API RegistrationQualityText describe(const RegistrationQualityReport& report,
                                                            const std::string& targetName);

} // namespace RegistrationQuality

} // namespace Kelvaros
