#pragma once

#include <optional>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// The plane a slice view shows: its pose in world space (millimetres) as a 4x4 rigid matrix whose column 0 is the
/// slice's x axis (to the right on screen), column 1 its y axis (downwards on screen), column 2 its normal x × y
/// (pointing away from the viewer) and column 3 its origin, the point shown at the centre of the view.
///
/// World space is RAS: +x towards the patient's right, +y anterior, +z superior. A slice built for an anatomical
/// plane is shown upright in a display convention:
///  - Axial: anterior at the top. Radiological: seen from the feet, the patient's left on the screen's right,
///    columns (-1,0,0), (0,-1,0), (0,0,1). Neurological: seen from above, the left on the left, (1,0,0), (0,-1,0),
///    (0,0,-1).
///  - Sagittal, in both: superior at the top, anterior to the left, seen from the patient's left: (0,-1,0),
///    (0,0,-1), (1,0,0).
///  - Coronal: superior at the top. Radiological: facing the patient, (-1,0,0), (0,0,-1), (0,-1,0).
///    Neurological: seen from behind, (1,0,0), (0,0,-1), (0,1,0).
///
/// Tool-linked views use another set, linkedOrientation, built from Pose::eulerToMat:
///  - Axial: (180, 0, 0) degrees, columns (1,0,0), (0,-1,0), (0,0,-1);
///  - Sagittal: (180, 90, 0), columns (0,0,-1), (0,-1,0), (-1,0,0);
///  - Coronal: (-90, 0, 0), columns (1,0,0), (0,0,-1), (0,1,0).
/// Composed with a tool pose (tool · slice) the axial slice is perpendicular to the tool's z axis and the other two
/// contain it, which is how linked slice views follow a needle.
///
/// Value type; not synchronised (copy it between threads).
class KELVAROS_API Slice
{
public:
    /// Numbered as the three slice views of a display are (view 0 axial, 1 sagittal, 2 coronal).
    enum class AnatomicalPlane : int
    {
        Axial = 0,
        Sagittal = 1,
        Coronal = 2
    };

    /// Where the patient's left appears in the axial and coronal views.
    enum class DisplayConvention : int
    {
        /// On the screen's right, as if facing the patient (the default).
        Radiological = 0,
        /// On the screen's left, as if looking over the patient's head or from behind.
        Neurological = 1
    };

    /// The radiological axial plane through the world origin.
    Slice();
    /// The plane upright in `convention`, its origin at `origin` (world, mm).
    explicit Slice(AnatomicalPlane plane, const Eigen::Vector3d& origin = Eigen::Vector3d::Zero(),
                   DisplayConvention convention = DisplayConvention::Radiological);

    /// The plane of a view index 0, 1 or 2; empty for any other index.
    [[nodiscard]] static std::optional<AnatomicalPlane> planeFromIndex(int index);
    /// The upright rotation (4x4, zero translation) of an anatomical plane, as listed in the class comment.
    [[nodiscard]] static Eigen::Matrix4d orientation(AnatomicalPlane plane,
                                                     DisplayConvention convention = DisplayConvention::Radiological);
    /// The rotation a tool-linked view composes with the tool pose, as listed in the class comment.
    [[nodiscard]] static Eigen::Matrix4d linkedOrientation(AnatomicalPlane plane);

    /// The plane this slice was built for (it keeps the label when its pose is changed).
    [[nodiscard]] AnatomicalPlane plane() const { return m_plane; }

    /// Slice → world, 4x4 rigid, mm.
    [[nodiscard]] const Eigen::Matrix4d& pose() const { return m_pose; }
    /// Precondition: the upper-left 3x3 block is a rotation (not checked).
    void setPose(const Eigen::Matrix4d& pose) { m_pose = pose; }

    [[nodiscard]] Eigen::Vector3d xAxis() const { return m_pose.block<3, 1>(0, 0); }
    [[nodiscard]] Eigen::Vector3d yAxis() const { return m_pose.block<3, 1>(0, 1); }
    [[nodiscard]] Eigen::Vector3d normal() const { return m_pose.block<3, 1>(0, 2); }
    [[nodiscard]] Eigen::Vector3d origin() const { return m_pose.block<3, 1>(0, 3); }
    void setOrigin(const Eigen::Vector3d& origin) { m_pose.block<3, 1>(0, 3) = origin; }

    /// Signed distance (mm) of a world point from the plane, positive on the side the normal points to.
    [[nodiscard]] double signedDistance(const Eigen::Vector3d& point) const;
    /// The foot of a world point on the plane (world, mm).
    [[nodiscard]] Eigen::Vector3d project(const Eigen::Vector3d& point) const;

private:
    AnatomicalPlane m_plane = AnatomicalPlane::Axial;
    Eigen::Matrix4d m_pose;
};

} // namespace Kelvaros
