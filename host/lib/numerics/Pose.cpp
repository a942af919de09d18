#include "lib/numerics/Pose.h"

#include <cmath>

#include <Eigen/Geometry>
#include <Eigen/SVD>

namespace Kelvaros::Pose
{

namespace
{
constexpr double kPi = 3.14159265358979323846;

/// Sine and cosine of an angle in degrees, exact for multiples of 90 degrees (std::sin(pi) is 1.2e-16, not 0;
/// the slice orientations and the 180-degree calibration flip are all built from such angles).
void sinCosDegrees(double degrees, double& s, double& c)
{
    const double reduced = std::remainder(degrees, 360.0); // [-180, 180], exact
    const double quarter = reduced / 90.0;
    if (quarter == std::round(quarter))
    {
        switch (static_cast<int>(quarter))
        {
            case 0:
                s = 0.0, c = 1.0;
                return;
            case 1:
                s = 1.0, c = 0.0;
                return;
            case -1:
                s = -1.0, c = 0.0;
                return;
            default: // +-2
                s = 0.0, c = -1.0;
                return;
        }
    }
    const double radians = reduced * kPi / 180.0;
    s = std::sin(radians);
    c = std::cos(radians);
}

/// The rotation closest to m in the Frobenius norm (polar decomposition via SVD); m itself when it is already
/// orthonormal to rounding, so that the common case costs one product.
Eigen::Matrix3d nearestRotation(const Eigen::Matrix3d& m)
{
    if ((m.transpose() * m - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() < 1e-12 && m.determinant() > 0.0)
        return m;
    const Eigen::JacobiSVD<Eigen::Matrix3d> svd(m, Eigen::ComputeFullU | Eigen::ComputeFullV);
    Eigen::Matrix3d d = Eigen::Matrix3d::Identity();
    if ((svd.matrixU() * svd.matrixV().transpose()).determinant() < 0.0)
        d(2, 2) = -1.0;
    return svd.matrixU() * d * svd.matrixV().transpose();
}
} // namespace

Eigen::Matrix4d eulerToMat(const Eigen::Vector3d& translation, const Eigen::Vector3d& anglesDegrees)
{
    double sa, ca, sb, cb, sc, cc;
    sinCosDegrees(anglesDegrees.x(), sa, ca);
    sinCosDegrees(anglesDegrees.y(), sb, cb);
    sinCosDegrees(anglesDegrees.z(), sc, cc);

    // Rz(c) · Ry(b) · Rx(a) written out, so that exact sines and cosines give exact entries.
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m(0, 0) = cc * cb;
    m(0, 1) = cc * sb * sa - sc * ca;
    m(0, 2) = cc * sb * ca + sc * sa;
    m(1, 0) = sc * cb;
    m(1, 1) = sc * sb * sa + cc * ca;
    m(1, 2) = sc * sb * ca - cc * sa;
    m(2, 0) = -sb;
    m(2, 1) = cb * sa;
    m(2, 2) = cb * ca;
    m.topRightCorner<3, 1>() = translation;
    return m;
}

Eigen::Vector3d matToEuler(const Eigen::Matrix4d& matrix)
{
    const Eigen::Matrix3d r = matrix.topLeftCorner<3, 3>();
    // First column = (cos b cos c, cos b sin c, -sin b), last row = (-sin b, cos b sin a, cos b cos a).
    const double cosB = std::hypot(r(0, 0), r(1, 0));
    const double b = std::atan2(-r(2, 0), cosB);
    double a = 0.0;
    double c = 0.0;
    if (cosB > 1e-12)
    {
        a = std::atan2(r(2, 1), r(2, 2));
        c = std::atan2(r(1, 0), r(0, 0));
    }
    else
    {
        // Gimbal lock: with sin b = +-1 the matrix depends only on a -+ c; set c = 0. Then r(0,1) = sin b sin a and
        // r(1,1) = cos a.
        a = std::atan2(-r(2, 0) * r(0, 1), r(1, 1));
    }
    return Eigen::Vector3d(a, b, c) * (180.0 / kPi);
}

double geodesicDistance(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b)
{
    const Eigen::Matrix3d relative =
      nearestRotation(a.topLeftCorner<3, 3>()).transpose() * nearestRotation(b.topLeftCorner<3, 3>());
    // A rotation by theta about u has trace 1 + 2 cos theta and skew part sin theta [u]x. atan2 of the two is
    // accurate over the whole range, unlike acos near 0 and asin near pi.
    const double cosTheta = 0.5 * (relative.trace() - 1.0);
    const Eigen::Vector3d skew(relative(2, 1) - relative(1, 2), relative(0, 2) - relative(2, 0),
                               relative(1, 0) - relative(0, 1));
    const double sinTheta = 0.5 * skew.norm();
    return std::atan2(sinTheta, cosTheta);
}

bool isRigid(const Eigen::Matrix4d& matrix, double tolerance)
{
    constexpr double kMaxTranslation = 1e6; // mm; no tracker's working volume comes near
    if (!matrix.allFinite() || matrix.col(3).head<3>().cwiseAbs().maxCoeff() > kMaxTranslation)
        return false;
    const Eigen::RowVector4d lastRow(0, 0, 0, 1);
    if ((matrix.row(3) - lastRow).cwiseAbs().maxCoeff() > tolerance)
        return false;
    const Eigen::Matrix3d r = matrix.topLeftCorner<3, 3>();
    if ((r.transpose() * r - Eigen::Matrix3d::Identity()).cwiseAbs().maxCoeff() > tolerance)
        return false;
    return std::abs(r.determinant() - 1.0) <= tolerance;
}

} // namespace Kelvaros::Pose
