#pragma once

// Cramér–Rao bound of a pivot calibration's tip offset, for simulated recordings whose true orientations are
// known. Shared by the pivot calibration benchmark and the calibration tests.
//
// Observations: marker k of pose i, y_ik = R_i (m_k - p) + q + e_ik, e_ik ~ N(0, s² I), with the tip offset p and
// pivot q shared by all poses and the true orientation R_i a nuisance parameter of each pose (the translation
// t_i = q - R_i p is fixed by the pivot constraint). Perturbing R_i -> R_i exp([w_i]x):
//
//     dy_ik/dw_i = -R_i [m_k - p]x,   dy_ik/dp = -R_i,   dy_ik/dq = I.
//
// Pose i contributes the 9x9 Fisher information F_i = H_iᵀ H_i / s² (H_i stacks the marker Jacobians); the
// nuisance w_i is eliminated by the Schur complement, F_i' = F_i,ηη - F_i,ηw F_i,ww^-1 F_i,wη for η = (p, q), and
// the bound on any unbiased estimate of (p, q) is (sum_i F_i')^-1. The tip-offset block's trace is the least
// achievable mean squared 3D tip error.
//
// In the pose domain (what a pivot fit sees): when the tip residual of a pose in the tool frame,
// R_iᵀ (R̂_i p + t̂_i - q), has the covariance C in every pose, the information is
// sum_i [R_i -I]ᵀ R_i C^-1 R_iᵀ [R_i -I]. For poses fitted to markers both give the same bound: the rotational
// degrees of freedom that the tip residual leaves out inform only the nuisance.

#include <vector>

#include <Eigen/Dense>

namespace Kelvaros::Bench
{

using Matrix6d = Eigen::Matrix<double, 6, 6>;

inline Eigen::Matrix3d skew(const Eigen::Vector3d& v)
{
    Eigen::Matrix3d m;
    m << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
    return m;
}

/// Marker-domain Fisher information of (p, q) with the orientations eliminated. Markers and tip in the tool frame
/// (mm), marker noise `noise` (mm per coordinate).
inline Matrix6d pivotMarkerInformation(const Eigen::Matrix3Xd& markers, const Eigen::Vector3d& tip,
                                       const std::vector<Eigen::Matrix3d>& rotations, double noise)
{
    using Matrix9d = Eigen::Matrix<double, 9, 9>;
    Matrix6d information = Matrix6d::Zero();
    for (const Eigen::Matrix3d& rotation : rotations)
    {
        Matrix9d f = Matrix9d::Zero();
        for (Eigen::Index k = 0; k < markers.cols(); ++k)
        {
            Eigen::Matrix<double, 3, 9> h;
            h << -rotation * skew(markers.col(k) - tip), -rotation, Eigen::Matrix3d::Identity();
            f += h.transpose() * h;
        }
        f /= noise * noise;
        const Eigen::Matrix3d fww = f.topLeftCorner<3, 3>();
        const Eigen::Matrix<double, 3, 6> fwe = f.topRightCorner<3, 6>();
        information += f.bottomRightCorner<6, 6>() - fwe.transpose() * fww.inverse() * fwe;
    }
    return information;
}

/// Covariance of the tip residual in the tool frame when a tracker fits each pose to markers with noise `noise`
/// (least-squares rigid fit, tool origin at the markers' centroid).
inline Eigen::Matrix3d rigidFitTipCovariance(const Eigen::Matrix3Xd& markers, const Eigen::Vector3d& tip, double noise)
{
    Matrix6d jtj = Matrix6d::Zero();
    for (Eigen::Index k = 0; k < markers.cols(); ++k)
    {
        Eigen::Matrix<double, 3, 6> j;
        j << -skew(markers.col(k)), Eigen::Matrix3d::Identity();
        jtj += j.transpose() * j;
    }
    Eigen::Matrix<double, 3, 6> g;
    g << -skew(tip), Eigen::Matrix3d::Identity();
    return noise * noise * g * jtj.inverse() * g.transpose();
}

/// Pose-domain Fisher information of (p, q) for tip residuals of covariance `tipCovariance` (tool frame, mm²).
inline Matrix6d pivotPoseInformation(const std::vector<Eigen::Matrix3d>& rotations,
                                     const Eigen::Matrix3d& tipCovariance)
{
    const Eigen::Matrix3d inverse = tipCovariance.inverse();
    Matrix6d information = Matrix6d::Zero();
    for (const Eigen::Matrix3d& rotation : rotations)
    {
        Eigen::Matrix<double, 3, 6> j;
        j << rotation, -Eigen::Matrix3d::Identity();
        information += j.transpose() * rotation * inverse * rotation.transpose() * j;
    }
    return information;
}

/// The least mean squared 3D tip-offset error (mm²) that the information allows.
inline double tipOffsetMeanSquaredBound(const Matrix6d& information)
{
    return information.inverse().topLeftCorner<3, 3>().trace();
}

} // namespace Kelvaros::Bench
