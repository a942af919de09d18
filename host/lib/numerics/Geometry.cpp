#include "lib/numerics/Geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Cholesky>
#include <Eigen/Eigenvalues>
#include <Eigen/Geometry>
#include <Eigen/QR>
#include <Eigen/SVD>

namespace Kelvaros::Geometry
{

namespace
{
using Vector6d = Eigen::Matrix<double, 6, 1>;
using Matrix6d = Eigen::Matrix<double, 6, 6>;

/// Gross-outlier rejection starts at this many poses; below it the median and MAD say too little.
constexpr std::size_t kMinPosesForRejection = 8;
/// The noise model of the pivot fit (6 covariance entries) is estimated only from this many poses on.
constexpr std::size_t kMinPosesForWeighting = 10;
/// A design whose smallest singular value is below this fraction of its largest is rank deficient: the poses do
/// not rotate about two independent axes. The ratio is about the rotation (radians) that the poses span.
constexpr double kRankTolerance = 1e-8;
/// The X84 rule: a value is an outlier beyond median + 3.5 sigma, with sigma = 1.4826 MAD (the MAD of a normal
/// sample is 0.6745 sigma). It tolerates up to half of the poses being wrong.
constexpr double kOutlierSigmas = 3.5;
constexpr double kMadToSigma = 1.4826;

struct UsablePose
{
    Eigen::Matrix3d rotation;
    Eigen::Vector3d translation;
    std::size_t index;
};

double median(std::vector<double> values)
{
    const std::size_t n = values.size();
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(values.begin(), middle, values.end());
    const double upper = *middle;
    if (n % 2 == 1)
        return upper;
    return 0.5 * (upper + *std::max_element(values.begin(), middle));
}

/// Threshold of the X84 rule over all values (not only the current inliers, which would trim the tail further on
/// every round). `floor` keeps exact data, whose MAD is rounding noise, from rejecting anything.
double robustThreshold(const std::vector<double>& values, double floor)
{
    const double med = median(values);
    std::vector<double> deviations(values.size());
    std::transform(values.begin(), values.end(), deviations.begin(), [med](double v) { return std::abs(v - med); });
    return std::max(med + kOutlierSigmas * kMadToSigma * median(std::move(deviations)), floor);
}

std::vector<char> inliersBelow(const std::vector<double>& values, double threshold)
{
    std::vector<char> inliers(values.size());
    std::transform(values.begin(), values.end(), inliers.begin(), [threshold](double v) { return v <= threshold; });
    return inliers;
}

std::size_t countInliers(const std::vector<char>& inliers)
{
    return static_cast<std::size_t>(std::count(inliers.begin(), inliers.end(), char(1)));
}

/// Longest series whose autocorrelation is summed lag by lag (see seriesAutocorrelation).
constexpr std::size_t kMaxCorrelationSeries = 2000;

/// How long the terms of a series stay correlated along the recording.
struct Autocorrelation
{
    /// Integrated autocorrelation time, in terms: 1 for independent ones.
    double time = 1.0;
    /// The last lag at which the terms were still seen to follow one another (0: not even the next one).
    std::size_t range = 0;
};

/// The time is 1 + 2 sum_k rho_k of a vector series in recorded order, summed while the autocorrelation rho_k
/// stays positive (the usual initial-positive-sequence cut, which keeps the noise of the far lags out); 1 for a
/// series without scatter. A fit's error is the sum of such a series (its poses' pulls on the estimate): with
/// errors that follow one another the variance of that sum is the time times the summed squares, where
/// independent errors would give the summed squares alone. A drifting series stays correlated over half its
/// length, which would cost its length squared: long series are first summed in consecutive blocks, at most
/// kMaxCorrelationSeries of them: the variance of the whole sum is the blocks' summed squares times their time,
/// and the series' own time is that over its summed squares. Cost: linear in the length, plus at most
/// kMaxCorrelationSeries² / 2 products.
template<typename Vector>
Autocorrelation seriesAutocorrelation(const std::vector<Vector>& series)
{
    const std::size_t block = series.size() / kMaxCorrelationSeries + 1;
    std::vector<Vector> sums(series.size() / block, Vector::Zero());
    double valueVariance = 0.0;
    for (std::size_t i = 0; i < sums.size() * block; ++i)
    {
        sums[i / block] += series[i];
        valueVariance += series[i].squaredNorm();
    }
    double variance = 0.0;
    for (const Vector& sum : sums)
        variance += sum.squaredNorm();
    Autocorrelation result;
    if (!(variance > 0.0) || !(valueVariance > 0.0))
        return result;
    double time = 1.0;
    for (std::size_t lag = 1; lag < sums.size() / 2; ++lag)
    {
        double covariance = 0.0;
        for (std::size_t i = 0; i + lag < sums.size(); ++i)
            covariance += sums[i].dot(sums[i + lag]);
        if (covariance <= 0.0)
            break;
        time += 2.0 * covariance / variance;
        result.range = lag * block;
    }
    result.time = time * variance / valueVariance;
    return result;
}

/// Symmetric inverse square root of a noise covariance, C^(-1/2). Eigenvalues are clamped to 1e-6 of the largest,
/// so that a direction without scatter (rounding only) cannot take all the weight.
Eigen::Matrix3d whitening(const Eigen::Matrix3d& covariance)
{
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(covariance);
    const Eigen::Vector3d values = eigen.eigenvalues().cwiseMax(1e-6 * eigen.eigenvalues().maxCoeff());
    return eigen.eigenvectors() * values.cwiseSqrt().cwiseInverse().asDiagonal() * eigen.eigenvectors().transpose();
}

struct PivotSolution
{
    bool ok = false;
    /// (tip offset p, pivot point q relative to the translation centroid).
    Vector6d x = Vector6d::Zero();
    /// (AᵀA)^-1 of the (whitened) design: the parameter covariance when the whitening is exact.
    Matrix6d inverseNormal = Matrix6d::Zero();
    /// The whitening L the design was solved with.
    Eigen::Matrix3d whiten = Eigen::Matrix3d::Identity();
    /// Smallest over largest singular value of the design.
    double conditionRatio = 0.0;
};

/// Solves min sum_i |L (p - R_iᵀ q + R_iᵀ t_i)|² over the inliers: the tip residuals R_i p + t_i - q rotated into
/// the tool frame and whitened by L (L = I is ordinary least squares, since a rotation keeps lengths). The
/// stacked 3m x 6 system goes through Householder QR, not the normal equations, whose condition number would be
/// squared: the poorly observed tip depth of a narrow pivoting cone would cost digits on exact data.
PivotSolution solvePivot(const std::vector<UsablePose>& poses, const std::vector<char>& inliers,
                         const Eigen::Matrix3d& whiten)
{
    const Eigen::Index m = static_cast<Eigen::Index>(countInliers(inliers));
    Eigen::MatrixXd a(3 * m, 6);
    Eigen::VectorXd b(3 * m);
    Eigen::Index row = 0;
    for (std::size_t i = 0; i < poses.size(); ++i)
    {
        if (!inliers[i])
            continue;
        const Eigen::Matrix3d lrt = whiten * poses[i].rotation.transpose();
        a.block<3, 3>(row, 0) = whiten;
        a.block<3, 3>(row, 3) = -lrt;
        b.segment<3>(row) = -lrt * poses[i].translation;
        row += 3;
    }
    PivotSolution solution;
    solution.whiten = whiten;
    if (m < 2)
        return solution;
    const Eigen::HouseholderQR<Eigen::MatrixXd> qr(a);
    const Matrix6d r = qr.matrixQR().topLeftCorner<6, 6>().triangularView<Eigen::Upper>();
    const Vector6d singular = Eigen::JacobiSVD<Matrix6d>(r).singularValues();
    solution.conditionRatio = singular(0) > 0.0 ? singular(5) / singular(0) : 0.0;
    if (!(solution.conditionRatio > kRankTolerance))
        return solution;
    solution.x = qr.solve(b);
    const Matrix6d rInverse = r.triangularView<Eigen::Upper>().solve(Matrix6d::Identity());
    solution.inverseNormal = rInverse * rInverse.transpose();
    solution.ok = solution.x.allFinite();
    return solution;
}

/// Tip residuals in the tool frame, s_i = R_iᵀ (R_i p + t_i - q) = p + R_iᵀ (t_i - q), for every pose.
std::vector<Eigen::Vector3d> toolFrameResiduals(const std::vector<UsablePose>& poses, const Vector6d& x)
{
    std::vector<Eigen::Vector3d> residuals(poses.size());
    const Eigen::Vector3d p = x.head<3>();
    const Eigen::Vector3d q = x.tail<3>();
    for (std::size_t i = 0; i < poses.size(); ++i)
        residuals[i] = p + poses[i].rotation.transpose() * (poses[i].translation - q);
    return residuals;
}

/// The information A_iᵀ W A_i that one pose adds to the normal matrix, A_i = [I -R_iᵀ], W = LᵀL.
Matrix6d poseInformation(const Eigen::Matrix3d& rotation, const Eigen::Matrix3d& weight)
{
    const Eigen::Matrix3d rotatedWeight = rotation * weight;
    Matrix6d information;
    information << weight, -rotatedWeight.transpose(), -rotatedWeight, rotatedWeight * rotation.transpose();
    return information;
}

Vector6d poseScore(const Eigen::Matrix3d& rotation, const Eigen::Matrix3d& weight, const Eigen::Vector3d& residual)
{
    const Eigen::Vector3d weighted = weight * residual;
    Vector6d score;
    score << weighted, -rotation * weighted;
    return score;
}

/// The information and scores of a run of consecutive kept poses.
struct PoseWindow
{
    Matrix6d information = Matrix6d::Zero();
    Vector6d score = Vector6d::Zero();

    void add(const UsablePose& pose, const Eigen::Matrix3d& weight, const Eigen::Vector3d& residual, double sign)
    {
        information += sign * poseInformation(pose.rotation, weight);
        score += sign * poseScore(pose.rotation, weight, residual);
    }
};

/// The residual s_i of a pose at the fit without the window's poses, x + (N - N_w)^-1 G_w. A rest that leaves the
/// tip undetermined keeps the pose's own residual.
Eigen::Vector3d residualWithout(const PoseWindow& window, const Matrix6d& normal, const UsablePose& pose,
                                const Eigen::Vector3d& residual)
{
    const Eigen::LDLT<Matrix6d> rest(normal - window.information);
    const Vector6d shift = rest.solve(window.score);
    if (rest.info() != Eigen::Success || !rest.isPositive() || !shift.allFinite())
        return residual;
    return residual + shift.head<3>() - pose.rotation.transpose() * shift.tail<3>();
}

/// Each kept pose's pull on the fit in recorded order, split into its tip and pivot rows.
struct Pulls
{
    std::vector<Eigen::Vector3d> tip;
    std::vector<Eigen::Vector3d> pivot;
};

/// The pull of pose i is u_i = N^-1 A_iᵀ W s_i, its share of the normal equations' right-hand side through the
/// inverse normal matrix: the fit's error is the sum of these terms taken at the true tip. With `reach` > 0 the
/// residual s_i is taken at the fit without the kept poses fewer than `reach` places from i, kept up in one sliding
/// window: constant cost per pose.
Pulls posePulls(const std::vector<UsablePose>& poses, const std::vector<char>& inliers, const PivotSolution& solution,
                const std::vector<Eigen::Vector3d>& residuals, std::size_t reach)
{
    const Eigen::Matrix3d weight = solution.whiten.transpose() * solution.whiten;
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < poses.size(); ++i)
        if (inliers[i])
            kept.push_back(i);
    Matrix6d normal = Matrix6d::Zero();
    if (reach > 0)
        for (const std::size_t i : kept)
            normal += poseInformation(poses[i].rotation, weight);
    Pulls pulls;
    pulls.tip.reserve(kept.size());
    pulls.pivot.reserve(kept.size());
    PoseWindow window;
    std::size_t first = 0;
    std::size_t end = 0;
    for (std::size_t k = 0; k < kept.size(); ++k)
    {
        const UsablePose& pose = poses[kept[k]];
        Eigen::Vector3d residual = residuals[kept[k]];
        if (reach > 0)
        {
            for (; end < std::min(kept.size(), k + reach); ++end)
                window.add(poses[kept[end]], weight, residuals[kept[end]], 1.0);
            for (; first + reach <= k; ++first)
                window.add(poses[kept[first]], weight, residuals[kept[first]], -1.0);
            residual = residualWithout(window, normal, pose, residual);
        }
        const Vector6d pull = solution.inverseNormal * poseScore(pose.rotation, weight, residual);
        pulls.tip.push_back(pull.head<3>());
        pulls.pivot.push_back(pull.tail<3>());
    }
    return pulls;
}

/// Covariances of the tip (tool frame) and the pivot point, and the tip's correlation time in poses.
struct CorrelatedCovariance
{
    Eigen::Matrix3d tip = Eigen::Matrix3d::Zero();
    double pivotVariance = 0.0;
    double time = 1.0;
};

/// The weighted fit's covariance from the poses' pulls: the variance of their sum, which holds whether or not the
/// errors of neighbouring poses follow one another (see the derivation above fitSpherePivotingPoses).
CorrelatedCovariance correlatedCovariance(const std::vector<UsablePose>& poses, const std::vector<char>& inliers,
                                          const PivotSolution& solution, const std::vector<Eigen::Vector3d>& residuals)
{
    Pulls pulls = posePulls(poses, inliers, solution, residuals, 0);
    const Autocorrelation plain = seriesAutocorrelation(pulls.tip);
    CorrelatedCovariance covariance;
    covariance.time = plain.time;
    // A residual understates its pose's error by what its neighbours, erring alike, pulled the fit towards it: take
    // it without the poses as far away as the plain pulls are seen to follow one another. Leaving out more than a
    // quarter of the recording could leave the tip undetermined, and a recording whose errors stay correlated that
    // long has few independent looks at the tip anyway (independentPoses says so).
    if (plain.range > 0)
    {
        pulls = posePulls(poses, inliers, solution, residuals, std::min(plain.range, countInliers(inliers) / 8) + 1);
        covariance.time = seriesAutocorrelation(pulls.tip).time;
    }
    for (const Eigen::Vector3d& pull : pulls.tip)
        covariance.tip += pull * pull.transpose();
    covariance.tip *= covariance.time;
    double pivotSquares = 0.0;
    for (const Eigen::Vector3d& pull : pulls.pivot)
        pivotSquares += pull.squaredNorm();
    covariance.pivotVariance = seriesAutocorrelation(pulls.pivot).time * pivotSquares;
    return covariance;
}

/// Unbiased scatter of the inliers' tool-frame residuals: the fit absorbs 6 of the 3m residual degrees of freedom,
/// 2 per coordinate.
Eigen::Matrix3d residualCovariance(const std::vector<Eigen::Vector3d>& residuals, const std::vector<char>& inliers)
{
    Eigen::Matrix3d sum = Eigen::Matrix3d::Zero();
    std::size_t m = 0;
    for (std::size_t i = 0; i < residuals.size(); ++i)
    {
        if (!inliers[i])
            continue;
        sum += residuals[i] * residuals[i].transpose();
        ++m;
    }
    return m > 2 ? Eigen::Matrix3d(sum / static_cast<double>(m - 2)) : Eigen::Matrix3d::Zero();
}

std::vector<std::size_t> rejectedIndices(const std::vector<std::size_t>& unusable, const std::vector<UsablePose>& poses,
                                         const std::vector<char>& inliers)
{
    std::vector<std::size_t> rejected = unusable;
    for (std::size_t i = 0; i < poses.size(); ++i)
        if (!inliers[i])
            rejected.push_back(poses[i].index);
    std::sort(rejected.begin(), rejected.end());
    return rejected;
}

/// Splits the input into usable poses (finite rotation and translation) and the indices of the others.
void collectFinite(const std::vector<Eigen::Matrix4d>& poses, std::vector<UsablePose>& usable,
                   std::vector<std::size_t>& unusable)
{
    for (std::size_t i = 0; i < poses.size(); ++i)
    {
        if (poses[i].topRows<3>().allFinite())
            usable.push_back({ poses[i].topLeftCorner<3, 3>(), poses[i].topRightCorner<3, 1>(), i });
        else
            unusable.push_back(i);
    }
}

/// The errors-in-variables correction assumes that the tool frame is centred near its markers; a tip closer than
/// this to the origin means it is not (the origin was put at the tip, say), and the correction is skipped.
constexpr double kMinLeverForCorrection = 20.0; // mm

Eigen::Matrix3d skew(const Eigen::Vector3d& v)
{
    Eigen::Matrix3d m;
    m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
    return m;
}

/// Drops poses whose residual length fails the X84 rule and refits by ordinary least squares until the set is
/// stable. Leaves `inliers` and `solution` consistent.
void rejectGrossOutliers(const std::vector<UsablePose>& poses, std::vector<char>& inliers, PivotSolution& solution)
{
    for (int round = 0; round < 20; ++round)
    {
        const std::vector<Eigen::Vector3d> residuals = toolFrameResiduals(poses, solution.x);
        std::vector<double> lengths(poses.size());
        std::transform(residuals.begin(), residuals.end(), lengths.begin(), [](const auto& s) { return s.norm(); });
        // 1e-6 mm: far below any tracker's noise, far above the rounding of exact poses.
        std::vector<char> next = inliersBelow(lengths, robustThreshold(lengths, 1e-6));
        if (next == inliers)
            return;
        // A set that no longer determines the tip means that the "outliers" carried the rotation: keep them.
        const PivotSolution trimmed = solvePivot(poses, next, Eigen::Matrix3d::Identity());
        if (!trimmed.ok)
            return;
        inliers = std::move(next);
        solution = trimmed;
    }
}

struct WeightedFit
{
    bool weighted = false;
    /// Tip residual covariance C (tool frame) estimated at the final solution.
    Eigen::Matrix3d covariance = Eigen::Matrix3d::Zero();
};

/// Feasible generalised least squares with Mahalanobis outlier rejection. On return `solution` is the fit for
/// `inliers`; when the residuals are rounding only, nothing changes (the ordinary fit is exact).
WeightedFit refineWeighted(const std::vector<UsablePose>& poses, bool rejectOutliers, std::vector<char>& inliers,
                           PivotSolution& solution)
{
    WeightedFit fit;
    std::vector<char> solvedFor = inliers;
    for (int round = 0; countInliers(inliers) >= kMinPosesForWeighting && round < 10; ++round)
    {
        Eigen::Matrix3d covariance = residualCovariance(toolFrameResiduals(poses, solution.x), inliers);
        // Residuals below 1e-9 mm RMS are rounding: the poses are exact and so is the ordinary fit.
        if (covariance.trace() <= 1e-18)
            break;
        bool solved = false;
        for (int iteration = 0; iteration < 10; ++iteration)
        {
            const PivotSolution candidate = solvePivot(poses, inliers, whitening(covariance));
            if (!candidate.ok)
                break;
            const double change = (candidate.x - solution.x).norm();
            solution = candidate;
            solved = true;
            covariance = residualCovariance(toolFrameResiduals(poses, solution.x), inliers);
            if (change <= 1e-7 + 1e-12 * solution.x.norm())
                break;
        }
        if (!solved)
            break;
        solvedFor = inliers;
        fit.weighted = true;
        fit.covariance = covariance;
        if (!rejectOutliers)
            break;
        const std::vector<Eigen::Vector3d> residuals = toolFrameResiduals(poses, solution.x);
        const Eigen::Matrix3d mahalanobis = whitening(covariance);
        std::vector<double> distances(poses.size());
        std::transform(residuals.begin(), residuals.end(), distances.begin(),
                       [&mahalanobis](const auto& s) { return (mahalanobis * s).norm(); });
        // Floor at 3.5 standard deviations, in case the distances are too regular for the MAD.
        std::vector<char> next = inliersBelow(distances, robustThreshold(distances, 3.5));
        if (next == inliers || countInliers(next) < kMinPosesForWeighting)
            break;
        inliers = std::move(next);
    }
    // The loop may stop right after changing the set (solve failure, round limit): report the set solved for.
    inliers = solvedFor;
    return fit;
}

/// The weighted fit's second-order bias, to be added to x (see the derivation above fitSpherePivotingPoses).
Vector6d errorsInVariablesCorrection(const std::vector<UsablePose>& poses, const std::vector<char>& inliers,
                                     const PivotSolution& solution, const Eigen::Matrix3d& covariance)
{
    const Eigen::Vector3d p = solution.x.head<3>();
    const double lever = p.norm();
    if (lever < kMinLeverForCorrection)
        return Vector6d::Zero();
    const Eigen::Vector3d along = p / lever;
    const Eigen::Matrix3d across = Eigen::Matrix3d::Identity() - along * along.transpose();
    // Along the lever arm only translation noise reaches the tip; across it, rotation noise adds |p|² Σ_w.
    const double translationVariance = std::max(0.0, along.dot(covariance * along));
    const Eigen::Matrix3d rotational =
      across * (covariance - translationVariance * Eigen::Matrix3d::Identity()) * across;
    const Eigen::SelfAdjointEigenSolver<Eigen::Matrix3d> eigen(rotational);
    const Eigen::Matrix3d rotationalPsd =
      eigen.eigenvectors() * eigen.eigenvalues().cwiseMax(0.0).asDiagonal() * eigen.eigenvectors().transpose();
    const Eigen::Matrix3d px = skew(p);
    const Eigen::Matrix3d rotationCovariance = px * rotationalPsd * px.transpose() / std::pow(lever, 4);

    const Eigen::Matrix3d whiten = whitening(covariance);
    const Eigen::Matrix3d inverseCovariance = whiten * whiten;
    const Eigen::Vector3d meanResidual = 0.5 * rotationCovariance.trace() * p;
    const Eigen::Matrix3d e = rotationCovariance * px * inverseCovariance;
    const Eigen::Vector3d coupling(e(1, 2) - e(2, 1), e(2, 0) - e(0, 2), e(0, 1) - e(1, 0));
    const Eigen::Vector3d tipTerm = inverseCovariance * meanResidual;

    Vector6d score = Vector6d::Zero();
    for (std::size_t i = 0; i < poses.size(); ++i)
    {
        if (!inliers[i])
            continue;
        score.head<3>() += tipTerm;
        score.tail<3>() -= poses[i].rotation * (tipTerm + coupling);
    }
    const Vector6d correction = solution.inverseNormal * score;
    // A correction comparable to the tool itself means the noise model does not describe these poses.
    if (!correction.allFinite() || correction.head<3>().norm() > 0.05 * lever)
        return Vector6d::Zero();
    return correction;
}
} // namespace

// Pivot calibration
//
// Model. Pose i maps the tool frame to the tracker: x ↦ R_i x + t_i. The tip p (tool frame) stays at the pivot q
// (tracker frame): R_i p + t_i = q, 3 linear equations per pose in the 6 unknowns x = (p, q):
//
//     [ R_i  -I ] [p; q] = -t_i.
//
// Noise. A tracker measures marker positions and fits the pose to them, so the measured pose is
// R̂_i = R_i exp([w_i]x), t̂_i = t_i + R_i τ_i with small rotation and translation errors (tool frame). At the true
// x the residual r_i = R̂_i p + t̂_i - q = R_i (w_i × p + τ_i) is the error of a virtual marker at the tip. Rotated
// into the tool frame, s_i = R̂_iᵀ r_i ≈ e_i = -[p]x w_i + τ_i, its covariance C is the same in every pose because
// the markers and their noise are (the target registration error of the tip). C is strongly anisotropic: across
// the shaft the rotation noise is multiplied by the lever arm |p| (100-200 mm), along it only the translation
// noise remains, several times smaller.
//
// Estimator. Ordinary least squares weights every direction alike. The maximum-likelihood (and best linear
// unbiased) fit of the linearised model minimises
//
//     sum_i r_iᵀ (R_i C R_iᵀ)^-1 r_i = sum_i s_iᵀ C^-1 s_i,
//
// and its covariance N^-1 = (sum_i A_iᵀ C^-1 A_i)^-1 with A_i = [I -R_iᵀ] is the Cramér–Rao bound: of the six
// pose errors only the tip residual carries information about x, the other three only about the unknown true
// orientation. C is unknown here - the fit sees poses, not markers - but its six entries are well determined by
// the 3N residuals: C ≈ sum s_i s_iᵀ / (N - 2). The fit alternates the weighted solve and this estimate (feasible
// generalised least squares), starting from ordinary least squares; it converges in a few rounds and the loss
// against a known C fades as 1/N.
//
// Errors in variables. The regressors R̂_i are themselves noisy, which biases the fit at second order in the
// noise - negligible in itself (microns), but the depth of the tip along the shaft is weakly determined when the
// tool is pivoted in a narrow cone, and the bias there grows like the squared inverse cone angle (0.15 mm, a
// third of the standard deviation, at ±15 degrees and 0.25 mm marker noise). Expanding the estimating equation
// sum_i Â_iᵀ C^-1 s_i(x̂) = 0 to second order in (w, τ) gives E[x̂ - x] = -N^-1 sum_i E[Â_iᵀ C^-1 s_i(x)] with
//
//     E[Â_iᵀ C^-1 s_i] = [ C^-1 m ; -R_i (C^-1 m + v) ],
//     m = E[s_i - e_i] = -E[w × τ] - ½ (Σ_w - tr Σ_w I) p,     v = E[w × C^-1 e_i],   E[w e_iᵀ] = Σ_w [p]x + Σ_wτ.
//
// For a rigid fit to markers, translation noise at the marker centroid is isotropic and independent of the
// rotation noise. Taking the tool origin there (Σ_wτ = 0, τ isotropic), C = [p]x Σ_w [p]xᵀ + σ_τ² I: p is an
// eigenvector with eigenvalue σ_τ², and the rest of C gives the part of Σ_w across the lever arm,
// Σ_w⊥ = [p]x (C - σ_τ² I) [p]xᵀ / |p|⁴. The part along the lever arm cancels out of m (m = ½ tr(Σ_w⊥) p) and
// of v. So the bias follows from the estimated C and p alone; the fit subtracts it. Benchmarks on simulated
// trackers: the remaining error is within a few per cent of the bound in cones of ±15 to ±45 degrees; with the
// origin at a marker 45 mm off the centroid the correction still removes most of the bias.
//
// Errors that follow one another. N^-1 is the covariance when the poses err independently, as the simulator's
// white marker noise does. A recording at 60 Hz does not: the tip slips in its dimple, the hand sways, the
// tracker's error changes slowly with the pose, so neighbouring poses err together and m poses are fewer than m
// independent looks at the tip. The fit's error is a sum over the poses, x̂ - x = sum_i u_i with the pull
// u_i = N^-1 A_iᵀ C^-1 s_i(x), so its covariance is that of the sum of a series: the pulls' summed squares (which
// estimate N^-1 when the errors are independent) times their integrated autocorrelation time (the measure the
// needle axis uses). Not the residuals' own time: the cone turns each residual's pull as it sweeps. The pulls can
// only be taken from the fitted residuals, and the fit has followed a slow error towards the poses that carry it:
// their residuals understate it (the pulls' summed squares by a quarter on 12 s with errors correlated over 0.5 s)
// and their correlation dies out early. So each pose's residual is taken at the fit without its neighbours, the
// poses within the range over which the plain pulls are still seen to be correlated - a leave-neighbours-out
// residual, which a sliding window over the normal matrix gives at constant cost per pose. On the simulated
// tracker (PivotProvenanceBench) the predicted tip error then meets the true one within a few per cent for white
// noise and within 10 to 16 per cent (slightly above) for slips and drifts correlated over 0.1 to 2 s; when the
// errors stay correlated through much of the recording, independentPoses falls to a few and the figure is a guess.
//
// Outliers. A pose with a swapped marker or a jump puts its tip millimetres away. Before weighting, residual
// lengths |r_i| beyond median + 3.5 * 1.4826 * MAD are dropped and the ordinary fit is repeated until the set is
// stable; the weighted stage applies the same rule to the Mahalanobis lengths |C^(-1/2) s_i|, which respect the
// anisotropy (1 mm along the shaft is far more suspicious than across it). Every round judges all poses against
// the current fit, so a pose dropped early can come back.
SpherePivotResult fitSpherePivotingPoses(const std::vector<Eigen::Matrix4d>& poses)
{
    SpherePivotResult result;
    std::vector<UsablePose> usable;
    std::vector<std::size_t> unusable;
    collectFinite(poses, usable, unusable);
    result.rejected = unusable;
    if (usable.size() < 3)
        return result;

    // Tracker coordinates may be metres away from the origin; centring keeps the pivot unknown small.
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    for (const UsablePose& pose : usable)
        centroid += pose.translation;
    centroid /= static_cast<double>(usable.size());
    for (UsablePose& pose : usable)
        pose.translation -= centroid;

    const std::size_t n = usable.size();
    std::vector<char> inliers(n, 1);
    PivotSolution solution = solvePivot(usable, inliers, Eigen::Matrix3d::Identity());
    if (!solution.ok)
        return result;
    const bool rejectOutliers = n >= kMinPosesForRejection;
    if (rejectOutliers)
        rejectGrossOutliers(usable, inliers, solution);
    const WeightedFit weightedFit = refineWeighted(usable, rejectOutliers, inliers, solution);
    Vector6d x = solution.x;
    if (weightedFit.weighted)
        x += errorsInVariablesCorrection(usable, inliers, solution, weightedFit.covariance);

    const std::vector<Eigen::Vector3d> residuals = toolFrameResiduals(usable, x);
    const std::size_t m = countInliers(inliers);
    double sum = 0.0;
    double sumSquares = 0.0;
    result.minResidual = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < n; ++i)
    {
        if (!inliers[i])
            continue;
        const double length = residuals[i].norm();
        result.minResidual = std::min(result.minResidual, length);
        result.maxResidual = std::max(result.maxResidual, length);
        sum += length;
        sumSquares += length * length;
    }
    result.meanResidual = sum / static_cast<double>(m);
    result.rmsResidual = std::sqrt(sumSquares / static_cast<double>(m));

    // The ordinary fit (too few poses to weight, or exact ones) scales N^-1 by the residual variance per degree of
    // freedom; the weighted one sums the poses' pulls.
    Matrix6d covariance = solution.inverseNormal;
    if (!weightedFit.weighted)
        covariance *= sumSquares / std::max(1.0, 3.0 * static_cast<double>(m) - 6.0);
    result.tipOffsetCovariance = covariance.topLeftCorner<3, 3>();
    double pivotVariance = covariance.bottomRightCorner<3, 3>().trace();
    result.independentPoses = static_cast<double>(m);
    if (weightedFit.weighted)
    {
        const CorrelatedCovariance correlated = correlatedCovariance(usable, inliers, solution, residuals);
        result.tipOffsetCovariance = correlated.tip;
        pivotVariance = correlated.pivotVariance;
        result.independentPoses = static_cast<double>(m) / correlated.time;
    }
    result.tipOffsetStdDev = std::sqrt(std::max(0.0, result.tipOffsetCovariance.trace()));
    result.pivotPointStdDev = std::sqrt(std::max(0.0, pivotVariance));

    result.tipOffset = x.head<3>();
    result.pivotPoint = x.tail<3>() + centroid;
    result.inliers = m;
    result.rejected = rejectedIndices(unusable, usable, inliers);
    result.valid = true;
    return result;
}

namespace
{
// 1e-8 rad: far below any tracker's orientation noise, far above rounding.
constexpr double kRoundingAngle = 1e-8;

struct AxisSolution
{
    bool ok = false;
    Eigen::Vector3d axis = Eigen::Vector3d::UnitZ();
    Eigen::Vector3d direction = Eigen::Vector3d::UnitZ();
};

/// max sum_i d · R_i a over unit a, d is the largest singular value of M = sum_i R_i, reached at its leading
/// singular vectors; and sum |R_i a - d|² = 2m - 2 d · M a, so that is the least-squares axis.
AxisSolution solveAxis(const std::vector<UsablePose>& rotations, const std::vector<char>& inliers)
{
    Eigen::Matrix3d sum = Eigen::Matrix3d::Zero();
    for (std::size_t i = 0; i < rotations.size(); ++i)
        if (inliers[i])
            sum += rotations[i].rotation;
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(sum, Eigen::ComputeFullU | Eigen::ComputeFullV);
    const Eigen::Vector3d singular = svd.singularValues();
    AxisSolution solution;
    // Without rotation every direction is kept fixed and the two leading singular values coincide.
    if (!(singular(0) - singular(1) > 1e-9 * singular(0)))
        return solution;
    solution.axis = svd.matrixV().col(0);
    solution.direction = svd.matrixU().col(0);
    solution.ok = solution.axis.allFinite() && solution.direction.allFinite();
    return solution;
}

double residualAngle(const Eigen::Matrix3d& rotation, const AxisSolution& solution)
{
    const Eigen::Vector3d mapped = rotation * solution.axis;
    return std::atan2(mapped.cross(solution.direction).norm(), mapped.dot(solution.direction));
}

} // namespace

RotationAxisResult fitRotationAxis(const std::vector<Eigen::Matrix4d>& poses)
{
    RotationAxisResult result;
    std::vector<UsablePose> usable;
    std::vector<std::size_t> unusable;
    collectFinite(poses, usable, unusable);
    result.rejected = unusable;
    if (usable.size() < 2)
        return result;

    const std::size_t n = usable.size();
    std::vector<char> inliers(n, 1);
    AxisSolution solution = solveAxis(usable, inliers);
    if (!solution.ok)
        return result;
    std::vector<double> angles(n);
    for (int round = 0; n >= kMinPosesForRejection && round < 20; ++round)
    {
        for (std::size_t i = 0; i < n; ++i)
            angles[i] = residualAngle(usable[i].rotation, solution);
        std::vector<char> next = inliersBelow(angles, robustThreshold(angles, kRoundingAngle));
        if (next == inliers)
            break;
        const AxisSolution trimmed = solveAxis(usable, next);
        if (!trimmed.ok)
            break;
        inliers = std::move(next);
        solution = trimmed;
    }

    // The data fix the axis only up to sign.
    const Eigen::Vector3d& a = solution.axis;
    const double orientation = a.z() != 0.0 ? a.z() : (a.x() != 0.0 ? a.x() : a.y());
    if (orientation < 0.0)
    {
        solution.axis = -solution.axis;
        solution.direction = -solution.direction;
    }

    // Residuals and a linearised error estimate. Perturbing a and d within their tangent planes (bases B_a, B_d),
    // the residual e_i = R_i a - d has Jacobian J_i = [R_i B_a, -B_d]; the axis covariance is the upper 2x2 block of
    // s² (sum J_iᵀ J_i)^-1, with s² the residual variance per degree of freedom (2 per pose, minus 4).
    const auto tangentBasis = [](const Eigen::Vector3d& v)
    {
        Eigen::Matrix<double, 3, 2> basis;
        basis.col(0) = v.unitOrthogonal();
        basis.col(1) = v.cross(basis.col(0));
        return basis;
    };
    const Eigen::Matrix<double, 3, 2> axisBasis = tangentBasis(solution.axis);
    const Eigen::Matrix<double, 3, 2> directionBasis = tangentBasis(solution.direction);
    Eigen::Matrix4d normal = Eigen::Matrix4d::Zero();
    double sumSquares = 0.0;
    double sumAngleSquares = 0.0;
    std::size_t m = 0;
    // Spin: the angle of R_i b about the direction for a fixed b ⊥ axis, unwrapped along the recording.
    const Eigen::Vector3d& direction = solution.direction;
    Eigen::Vector3d spinX = Eigen::Vector3d::Zero();
    Eigen::Vector3d spinY = Eigen::Vector3d::Zero();
    double previousSpin = 0.0;
    double spin = 0.0;
    double minSpin = 0.0;
    double maxSpin = 0.0;
    // The residuals in the tool frame, across the axis: what moves the axis estimate.
    std::vector<Eigen::Vector2d> axisResiduals;
    axisResiduals.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
    {
        if (!inliers[i])
            continue;
        const Eigen::Matrix3d& rotation = usable[i].rotation;
        const Eigen::Vector3d residual = rotation * solution.axis - solution.direction;
        axisResiduals.push_back((rotation * axisBasis).transpose() * residual);
        Eigen::Matrix<double, 3, 4> jacobian;
        jacobian << rotation * axisBasis, -directionBasis;
        normal += jacobian.transpose() * jacobian;
        sumSquares += residual.squaredNorm();
        const double angle = residualAngle(rotation, solution);
        sumAngleSquares += angle * angle;
        result.maxResidualAngle = std::max(result.maxResidualAngle, angle);

        const Eigen::Vector3d mapped = rotation * axisBasis.col(0);
        const Eigen::Vector3d inPlane = mapped - mapped.dot(direction) * direction;
        if (m == 0)
        {
            spinX = inPlane.normalized();
            spinY = direction.cross(spinX);
        }
        else
        {
            const double current = std::atan2(inPlane.dot(spinY), inPlane.dot(spinX));
            spin += std::remainder(current - previousSpin, 2.0 * 3.14159265358979323846);
            previousSpin = current;
            minSpin = std::min(minSpin, spin);
            maxSpin = std::max(maxSpin, spin);
        }
        ++m;
    }
    result.rmsResidualAngle = std::sqrt(sumAngleSquares / static_cast<double>(m));
    // A slow wobble moves neighbouring residuals together, so m poses carry only m / tau independent errors: the
    // variance of the axis grows by tau (on the simulated tracker with a wobble of 1 to 3 degrees, the widened
    // figure meets the true error within about 10 per cent over 5 s or more, the plain one is 4 to 5 times low).
    // Exact poses leave rounding alone, which follows the spin smoothly: no scatter to judge by, and they are as
    // independent as poses come.
    const double correlationTime =
      result.rmsResidualAngle > kRoundingAngle ? seriesAutocorrelation(axisResiduals).time : 1.0;
    result.independentPoses = static_cast<double>(m) / correlationTime;
    if (m > 2)
    {
        const Eigen::Matrix4d covariance = sumSquares / static_cast<double>(2 * m - 4) * normal.inverse();
        const double variance = correlationTime * covariance.topLeftCorner<2, 2>().trace();
        result.axisStdDev = std::isfinite(variance) ? std::sqrt(std::max(0.0, variance)) : 0.0;
    }
    result.spinAngle = maxSpin - minSpin;
    result.axis = solution.axis;
    result.direction = solution.direction;
    result.inliers = m;
    result.rejected = rejectedIndices(unusable, usable, inliers);
    result.valid = true;
    return result;
}

} // namespace Kelvaros::Geometry
