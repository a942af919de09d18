#include "registration/RegistrationQuality.h"

#include <cmath>
#include <limits>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/Log.h"
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

bool refused(const std::vector<Eigen::Vector3d>& tracked, const std::vector<Eigen::Vector3d>& image, double fle,
             const Eigen::Vector3d& target)
{
    const char* reason = nullptr;
    if (tracked.size() != image.size())
        reason = "the point lists differ in length";
    else if (tracked.size() < 3)
        reason = "fewer than 3 pairs";
    else if (!(fle > 0) || !std::isfinite(fle))
        reason = "the expected localisation error is not positive";
    else if (!target.allFinite())
        reason = "the target is not finite";
    if (reason)
        Log::logf(Log::Warning, kCategory, "Cannot judge the registration: {}", reason);
    return reason;
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
} // namespace

ResidualClass classify(double residual, double fle)
{
    if (residual > 3.0 * fle)
        return ResidualClass::Outlier;
    return residual > 2.0 * fle ? ResidualClass::High : ResidualClass::Fine;
}

std::optional<RegistrationQualityReport> evaluate(const std::vector<Eigen::Vector3d>& tracked,
                                                  const std::vector<Eigen::Vector3d>& image, double fle,
                                                  const Eigen::Vector3d& target)
{
    if (refused(tracked, image, fle, target))
        return std::nullopt;
    RegistrationQualityReport report;
    const std::optional<Eigen::Matrix4d> fit = RigidRegistration::fitRigid(tracked, image, &report.fre);
    if (!fit)
        return std::nullopt;
    report.trackedToImage = *fit;
    report.treAtTarget = predictedTre(image, fle, target).value_or(kNaN);
    report.pairs.resize(image.size());
    for (std::size_t i = 0; i < image.size(); ++i)
    {
        PairQuality& pair = report.pairs[i];
        pair.residual = (apply(*fit, tracked[i]) - image[i]).norm();
        pair.residualClass = classify(pair.residual, fle);
        leaveOneOut(tracked, image, fle, target, i, pair);
    }
    report.suspect = findSuspect(report, fle);
    if (report.suspect)
        report.hint = fmt::format("pair {}: FRE {:.1f} → {:.1f} mm", *report.suspect + 1, report.fre,
                                  report.pairs[*report.suspect].freWithout);
    return report;
}

std::optional<double> predictedTre(const std::vector<Eigen::Vector3d>& image, double fle, const Eigen::Vector3d& point)
{
    return RigidRegistration::predictedTre(image, fle, point);
}

} // namespace Kelvaros::RegistrationQuality
