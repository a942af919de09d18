#include "RegistrationQuality.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>

#include <Eigen/Geometry>
#include <Eigen/SVD>
#include <fmt/format.h>

#include "core/Log.h"
#include "lib/numerics/ChiSquared.h"
#include "lib/numerics/RigidRegistration.h"

namespace Kelvaros::RegistrationQuality
{
namespace
{
constexpr const char* kCategory = "RegistrationQuality";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
/// A clear improvement (see the header): the pair lies beyond 3 FLE of the others' fit, and the FRE falls visibly.
constexpr double kLeftOutFactor = 3.0;
constexpr double kFreRatio = 0.75;
/// Correct pairs are called improbable once in a hundred registrations.
constexpr double kPercentile = 0.99;
/// The worst pairs of an improbable fit: at most this many, each with at least this share of the largest residual
/// (two swapped pairs stand out together; a fit spoiled everywhere names no more than a user can check at once).
constexpr std::size_t kMaxWorstPairs = 3;
constexpr double kWorstShare = 0.5;
/// Correct pairs give an FRE beyond twice the 99th-percentile limit practically never (below 1e-9 for six pairs).
constexpr double kSwapLimitFactor = 2.0;

Eigen::Vector3d apply(const Eigen::Matrix4d& transform, const Eigen::Vector3d& p)
{
    return (transform * p.homogeneous()).head<3>();
}

template<typename T>
std::vector<T> without(const std::vector<T>& values, std::size_t skipped)
{
    std::vector<T> rest;
    rest.reserve(values.size() - 1);
    for (std::size_t i = 0; i < values.size(); ++i)
        if (i != skipped)
            rest.push_back(values[i]);
    return rest;
}

std::string mm(double value)
{
    return std::isfinite(value) ? fmt::format("{:.2f} mm", value) : std::string("unknown");
}

bool refused(const std::vector<Eigen::Vector3d>& tracked, const std::vector<Eigen::Vector3d>& image,
             std::optional<double> expectedFle, const Eigen::Vector3d& target)
{
    const char* reason = nullptr;
    if (tracked.size() != image.size())
        reason = "the point lists differ in length";
    else if (tracked.size() < 3)
        reason = "fewer than 3 pairs";
    else if (expectedFle && (!(*expectedFle > 0) || !std::isfinite(*expectedFle)))
        reason = "the expected localisation error is not positive";
    else if (!target.allFinite())
        reason = "the target is not finite";
    if (reason)
        Log::logf(Log::Warning, kCategory, "Cannot judge the registration: {}", reason);
    return reason;
}

/// The FRE against its chi-squared distribution under the expected FLE (see the header).
void judge(RegistrationQualityReport& report, std::size_t count)
{
    report.degreesOfFreedom = int(3 * count - 6);
    report.freStatistic = report.freTailProbability = report.freLimit = kNaN;
    if (!report.expectedFle)
    {
        report.verdict = RegistrationVerdict::NotJudged;
        return;
    }
    const double variancePerAxis = *report.expectedFle * *report.expectedFle / 3.0;
    const double n = double(count);
    const double dof = report.degreesOfFreedom;
    report.freStatistic = n * report.fre * report.fre / variancePerAxis;
    report.freTailProbability = ChiSquared::upperTail(report.freStatistic, dof);
    report.freLimit = std::sqrt(ChiSquared::quantile(kPercentile, dof) * variancePerAxis / n);
    report.verdict = report.fre > report.freLimit ? RegistrationVerdict::Improbable : RegistrationVerdict::Plausible;
}

/// The fit of all pairs but `skipped`: its FRE, predicted TRE at the target and the skipped pair's residual.
void leaveOneOut(const std::vector<Eigen::Vector3d>& tracked, const std::vector<Eigen::Vector3d>& image, double fle,
                 const Eigen::Vector3d& target, std::size_t skipped, PairQuality& pair)
{
    pair.freWithout = pair.treWithout = pair.leftOutResidual = kNaN;
    // Two pairs leave the rotation about their line open: no fit to try.
    if (image.size() < 4)
        return;
    const std::vector<Eigen::Vector3d> rest = without(image, skipped);
    double fre = kNaN;
    const std::optional<Eigen::Matrix4d> fit = RigidRegistration::fitRigid(without(tracked, skipped), rest, &fre);
    if (!fit)
        return;
    pair.freWithout = fre;
    pair.treWithout = RigidRegistration::predictedTre(rest, fle, target).value_or(kNaN);
    pair.leftOutResidual = (apply(*fit, tracked[skipped]) - image[skipped]).norm();
}

/// The pair whose removal lowers the FRE most, when that is a clear improvement (see the header).
std::optional<std::size_t> findSuspect(const RegistrationQualityReport& report, double fle)
{
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < report.pairs.size(); ++i)
        if (!std::isnan(report.pairs[i].freWithout) &&
            (!best || report.pairs[i].freWithout < report.pairs[*best].freWithout))
            best = i;
    if (!best)
        return std::nullopt;
    const PairQuality& pair = report.pairs[*best];
    if (pair.freWithout < kFreRatio * report.fre && pair.leftOutResidual > kLeftOutFactor * fle)
        return best;
    return std::nullopt;
}

/// The exchange of two image points that makes an improbable fit plausible (see the header).
///
/// Exchanging the partners of pairs i and j leaves both centroids where they are, so with centred points s (tracked)
/// and t (image) the cross-covariance H = sum s_k t_k^T becomes H - (s_i - s_j)(t_i - t_j)^T. The least-squares
/// residual of a rigid fit is sum |s_k|^2 + sum |t_k|^2 - 2 (σ1 + σ2 + sign(det H) σ3), σ the singular values of H
/// (the same sign fix as the fit's). One 3x3 decomposition per exchange instead of a refit.
void findSwap(RegistrationQualityReport& report, const std::vector<Eigen::Vector3d>& tracked,
              const std::vector<Eigen::Vector3d>& image)
{
    const Eigen::Vector3d trackedCentre = centroid(tracked);
    const Eigen::Vector3d imageCentre = centroid(image);
    double spread = 0.0;
    Eigen::Matrix3d h = Eigen::Matrix3d::Zero();
    for (std::size_t k = 0; k < image.size(); ++k)
    {
        const Eigen::Vector3d s = tracked[k] - trackedCentre;
        const Eigen::Vector3d t = image[k] - imageCentre;
        spread += s.squaredNorm() + t.squaredNorm();
        h += s * t.transpose();
    }
    double best = kNaN;
    std::pair<std::size_t, std::size_t> bestPairs;
    for (std::size_t i = 0; i < image.size(); ++i)
        for (std::size_t j = i + 1; j < image.size(); ++j)
        {
            const Eigen::Matrix3d exchanged = h - (tracked[i] - tracked[j]) * (image[i] - image[j]).transpose();
            const Eigen::Vector3d sigma = Eigen::JacobiSVD<Eigen::Matrix3d>(exchanged).singularValues();
            const double sign = exchanged.determinant() < 0.0 ? -1.0 : 1.0;
            const double residual = spread - 2.0 * (sigma[0] + sigma[1] + sign * sigma[2]);
            const double fre = std::sqrt(std::max(residual, 0.0) / double(image.size()));
            if (!(fre >= best))
            {
                best = fre;
                bestPairs = { i, j };
            }
        }
    if (best <= kSwapLimitFactor * report.freLimit && best < kFreRatio * report.fre)
    {
        report.swapped = bestPairs;
        report.freIfSwapped = best;
    }
}

std::vector<std::size_t> findWorstPairs(const RegistrationQualityReport& report)
{
    if (report.swapped)
        return { report.swapped->first, report.swapped->second };
    std::vector<std::size_t> order(report.pairs.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return report.pairs[a].residual > report.pairs[b].residual; });
    std::vector<std::size_t> worst;
    for (std::size_t i : order)
        if (worst.size() < kMaxWorstPairs && report.pairs[i].residual >= kWorstShare * report.pairs[order[0]].residual)
            worst.push_back(i);
    if (report.suspect && std::find(worst.begin(), worst.end(), *report.suspect) == worst.end())
        worst.push_back(*report.suspect);
    return worst;
}

std::string verdictSentence(const RegistrationQualityReport& report)
{
    const std::size_t n = report.pairs.size();
    switch (report.verdict)
    {
        case RegistrationVerdict::Plausible:
            return fmt::format("The registration is plausible: its FRE of {} for {} pairs lies within the 99th "
                               "percentile ({}) for the expected localisation error of {}.",
                               mm(report.fre), n, mm(report.freLimit), mm(*report.expectedFle));
        case RegistrationVerdict::Improbable:
            return fmt::format("Warning: the registration is improbable. Its FRE of {} for {} pairs lies beyond the "
                               "99th percentile ({}) for the expected localisation error of {}: pairs are probably "
                               "swapped or misplaced. Check the pairs named (or the expected error) and register "
                               "again.",
                               mm(report.fre), n, mm(report.freLimit), mm(*report.expectedFle));
        case RegistrationVerdict::NotJudged:
            break;
    }
    return "The registration cannot be judged: no expected localisation error was given; the predicted errors use "
           "the localisation error estimated from the FRE.";
}

std::string worstPairsSentence(const RegistrationQualityReport& report)
{
    if (report.worstPairs.empty())
        return {};
    std::vector<std::string> named;
    for (std::size_t i : report.worstPairs)
        named.push_back(fmt::format("pair {} (residual {})", i + 1, mm(report.pairs[i].residual)));
    std::string sentence = fmt::format("Check {}", fmt::join(named, ", "));
    if (report.swapped)
        sentence +=
          fmt::format(": they look swapped (with their image points exchanged the FRE is {})", mm(report.freIfSwapped));
    else if (report.suspect)
        sentence += fmt::format("; leave-one-out: {} without it", report.hint);
    return sentence + ".";
}

std::string fleSentence(const RegistrationQualityReport& report)
{
    if (!report.expectedFle)
        return fmt::format("Localisation error used for the prediction: {}, estimated from the FRE.",
                           mm(report.fleUsed));
    if (report.fleSource == FleSource::Expected)
        return fmt::format("Localisation error used for the prediction: the expected {} (the FRE suggests {}).",
                           mm(report.fleUsed), mm(report.fleFromFre));
    return fmt::format("Localisation error used for the prediction: {}, estimated from the FRE (larger than the "
                       "expected {}).",
                       mm(report.fleUsed), mm(*report.expectedFle));
}

std::string treSentence(const RegistrationQualityReport& report, const std::string& targetName)
{
    std::string sentence =
      fmt::format("Predicted target registration error at {}: {}", targetName, mm(report.treAtTarget));
    if (report.verdict == RegistrationVerdict::Improbable)
        sentence += ", but it cannot be trusted: the pairs do not fit as the expected localisation error allows";
    return sentence + ".";
}
} // namespace

ResidualClass classify(double residual, double fle)
{
    if (residual > 3.0 * fle)
        return ResidualClass::Outlier;
    return residual > 2.0 * fle ? ResidualClass::High : ResidualClass::Fine;
}

std::optional<RegistrationQualityReport> evaluate(const std::vector<Eigen::Vector3d>& tracked,
                                                  const std::vector<Eigen::Vector3d>& image,
                                                  std::optional<double> expectedFle, const Eigen::Vector3d& target)
{
    if (refused(tracked, image, expectedFle, target))
        return std::nullopt;
    RegistrationQualityReport report;
    const std::optional<Eigen::Matrix4d> fit = RigidRegistration::fitRigid(tracked, image, &report.fre);
    if (!fit)
        return std::nullopt;
    report.trackedToImage = *fit;
    report.expectedFle = expectedFle;
    report.fleFromFre = RigidRegistration::estimateFle(report.fre, image.size());
    const bool expectedIsLarger = expectedFle && *expectedFle >= report.fleFromFre;
    report.fleUsed = expectedIsLarger ? *expectedFle : report.fleFromFre;
    report.fleSource = expectedIsLarger ? FleSource::Expected : FleSource::EstimatedFromFre;
    judge(report, image.size());
    report.treAtTarget = predictedTre(image, report.fleUsed, target).value_or(kNaN);

    // Residuals are classed against what the user expects; without that, against what the fit shows.
    const double basis = expectedFle.value_or(report.fleFromFre);
    report.pairs.resize(image.size());
    for (std::size_t i = 0; i < image.size(); ++i)
    {
        PairQuality& pair = report.pairs[i];
        pair.residual = (apply(*fit, tracked[i]) - image[i]).norm();
        pair.residualClass = basis > 0 ? classify(pair.residual, basis) : ResidualClass::Fine;
        leaveOneOut(tracked, image, report.fleUsed, target, i, pair);
    }
    report.suspect = basis > 0 ? findSuspect(report, basis) : std::nullopt;
    if (report.suspect)
        report.hint = fmt::format("pair {}: FRE {:.1f} → {:.1f} mm", *report.suspect + 1, report.fre,
                                  report.pairs[*report.suspect].freWithout);
    if (report.verdict == RegistrationVerdict::Improbable)
    {
        findSwap(report, tracked, image);
        report.worstPairs = findWorstPairs(report);
    }
    return report;
}

std::optional<double> predictedTre(const std::vector<Eigen::Vector3d>& image, double fle, const Eigen::Vector3d& point)
{
    return RigidRegistration::predictedTre(image, fle, point);
}

Eigen::Vector3d centroid(const std::vector<Eigen::Vector3d>& points)
{
    Eigen::Vector3d sum = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d& p : points)
        sum += p;
    return points.empty() ? sum : Eigen::Vector3d(sum / double(points.size()));
}

RegistrationQualityText describe(const RegistrationQualityReport& report, const std::string& targetName)
{
    return { verdictSentence(report), worstPairsSentence(report), fleSentence(report),
             treSentence(report, targetName) };
}

} // namespace Kelvaros::RegistrationQuality

namespace Kelvaros
{

std::string RegistrationQualityText::joined() const
{
    std::string text;
    for (const std::string* sentence : { &verdict, &worstPairs, &fle, &tre })
        if (!sentence->empty())
            text += (text.empty() ? "" : " ") + *sentence;
    return text;
}

} // namespace Kelvaros
