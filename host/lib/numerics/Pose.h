#pragma once

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros::Pose
{

/// Builds a rigid 4x4 pose from a translation (millimetres) and three Euler angles (a, b, c) in degrees.
///
/// Convention: R = Rz(c) · Ry(b) · Rx(a), column vectors, right-handed rotations about the fixed x, y and z axes
/// (equivalently: first a about x, then b about the original y, then c about the original z). The translation is
/// the fourth column; the last row is (0, 0, 0, 1). Angles that are exact multiples of 90 degrees give exact
/// matrix entries (0, +1, -1), so that the slice orientations below carry no rounding noise.
///
/// Slice orientations. A slice view's pose has column 0 = the slice's x axis (to the right on screen), column 1 =
/// its y axis (downwards on screen, the order in which image rows are laid out) and column 2 = its normal = x × y,
/// pointing away from the viewer (the viewer looks along the normal). Read in patient coordinates RAS (x towards
/// the patient's Right, y towards Anterior, z towards Superior), the three angle triples used for linked slice
/// views give the neurological display convention (the patient's right on the right of the screen):
///  - (180, 0, 0) = axial: columns (1,0,0), (0,-1,0), (0,0,-1); anterior at the top, the patient's right on the
///    right, seen from the head;
///  - (180, 90, 0) = sagittal: columns (0,0,-1), (0,-1,0), (-1,0,0); anterior at the top, the head on the left, seen
///    from the patient's right, i.e. a supine patient as he lies on the table, viewed from his right-hand side;
///  - (-90, 0, 0) = coronal: columns (1,0,0), (0,0,-1), (0,1,0); superior at the top, the patient's right on the
///    right, seen from behind.
/// The sagittal view lies on its side under every order of the three rotations: with the first angle about x (which
/// the calibration flip below needs), column 1 of (180, 90, 0) is always -y.
/// When the slice poses are composed with a tool pose (tool · slice), "patient" reads "tool frame": the axial view
/// is perpendicular to the tool's z axis (the needle), the sagittal and coronal views contain it.
/// The same (180, 0, 0) is the 180-degree turn about x that reverses a calibration's y and z axes.
///
/// Pure function; callable from any thread.
[[nodiscard]] KELVAROS_API Eigen::Matrix4d eulerToMat(const Eigen::Vector3d& translation,
                                                      const Eigen::Vector3d& anglesDegrees);

/// Inverse of eulerToMat for the rotation part: returns (a, b, c) in DEGREES with R = Rz(c) · Ry(b) · Rx(a), where
/// b lies in [-90, 90] and a, c in (-180, 180]. The translation is the matrix's fourth column and is not returned.
/// At gimbal lock (|b| = 90 degrees, only a - c or a + c is defined) c is set to 0. The upper-left 3x3 block must be
/// a rotation. Callable from any thread.
[[nodiscard]] KELVAROS_API Eigen::Vector3d matToEuler(const Eigen::Matrix4d& matrix);

/// Geodesic distance between the orientations of two rigid transforms, in RADIANS: the rotation angle of
/// a⁻¹ · b, i.e. the length of the shortest rotation that turns a's axes into b's, in [0, pi]. It is the
/// bi-invariant metric on rotations: symmetric, zero only for equal orientations, and unchanged when both poses
/// are moved by a common rigid transform on either side. Translations do not enter (an angle and a length
/// cannot be added without an arbitrary scale); a caller that needs the distance between positions takes the
/// fourth columns. A 3x3 block that is not exactly orthonormal (accumulated rounding, scale) is replaced by its
/// nearest rotation before the comparison. Callable from any thread.
[[nodiscard]] KELVAROS_API double geodesicDistance(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b);

/// Whether a 4x4 matrix is a pose a tracker can report: every entry finite, the last row (0, 0, 0, 1) and the
/// rotation block orthonormal with determinant +1, each within `tolerance` (absolute, on the entries of RᵀR − I,
/// on det R − 1 and on the last row), and the translation within a kilometre (1e6 mm) of the origin. Scaled,
/// sheared, mirrored, degenerate or absurdly far matrices are refused, so that a faulty peer or file cannot pass
/// one off as tracked. The default tolerance accepts float-encoded rotations as
/// trackers send them. Callable from any thread.
[[nodiscard]] KELVAROS_API bool isRigid(const Eigen::Matrix4d& matrix, double tolerance = 1e-3);

} // namespace Kelvaros::Pose
