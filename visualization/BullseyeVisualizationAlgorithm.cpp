#include "visualization/BullseyeVisualizationAlgorithm.h"

#include <cmath>

#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/numerics/Math.h"
#include "stream/TrackingStream.h"

#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{

bool BullseyeVisualizationAlgorithm::createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    if (data.size() != 2)
        return false;
    auto* stream = dynamic_cast<TrackingStream*>(data.getFirst(Data::Kind::TrackingStream));
    SharedImageSet* image = data.getImage();
    if (!stream || !image)
        return false;
    if (algorithm)
        *algorithm = std::make_unique<BullseyeVisualizationAlgorithm>(stream, image);
    return true;
}

BullseyeVisualizationAlgorithm::BullseyeVisualizationAlgorithm(TrackingStream* stream, SharedImageSet* referenceImage)
  : m_referenceImage(referenceImage),
    m_toolVisualization(std::make_unique<ToolVisualizationAlgorithm>(stream, nullptr)),
    m_meshBinding(p_toolMeshPath, *m_toolVisualization)
{
}

BullseyeVisualizationAlgorithm::~BullseyeVisualizationAlgorithm() = default;

void BullseyeVisualizationAlgorithm::configure(const Properties* properties)
{
    if (!properties)
        return;
    Algorithm::configure(properties);
    ToolVisualizationAlgorithm::fixAbsolutePath(p_toolMeshPath);
    ToolVisualizationAlgorithm::fixAbsolutePath(p_bullseyeMeshPath);
    ToolVisualizationAlgorithm::fixAbsolutePath(p_toolRingMeshPath);
    m_meshBinding.configure(*properties);
}

void BullseyeVisualizationAlgorithm::configuration(Properties* properties) const
{
    if (!properties)
        return;
    Algorithm::configuration(properties);
    m_meshBinding.configuration(*properties);
}

void BullseyeVisualizationAlgorithm::compute()
{
    setStatus(Success);
}

void BullseyeVisualizationAlgorithm::setLinePoints(const Eigen::Vector3d& a, const Eigen::Vector3d& b)
{
    m_a = a;
    m_b = b;
}

double BullseyeVisualizationAlgorithm::annotationLineDistance() const
{
    return (m_b - m_a).norm() * p_targetRingDistanceFactor.value();
}

Eigen::Matrix4d BullseyeVisualizationAlgorithm::createLookAt(const Eigen::Vector3d& eye, const Eigen::Vector3d& centre,
                                                             const Eigen::Vector3d& up)
{
    // The classic look-at frame, written as camera → world: the camera looks along −z, so its third axis points
    // from the centre back to the eye.
    const Eigen::Vector3d f = Math::normalizedOrZero(centre - eye);
    const Eigen::Vector3d s = Math::normalizedOrZero(f.cross(up));
    const Eigen::Vector3d u = s.cross(f);
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.block<3, 1>(0, 0) = s;
    pose.block<3, 1>(0, 1) = u;
    pose.block<3, 1>(0, 2) = -f;
    pose.block<3, 1>(0, 3) = eye;
    return pose;
}

Eigen::Matrix4d BullseyeVisualizationAlgorithm::createLookAtAlongNeedle(double offset) const
{
    const Eigen::Vector3d d = Math::normalizedOrZero(m_b - m_a);
    const Eigen::Vector3d eye = m_b + (offset + p_bullseyeDistance.value()) * d;
    return createLookAt(eye, m_a, Eigen::Vector3d::UnitZ());
}

void BullseyeVisualizationAlgorithm::computeOverlayParameters(Eigen::Vector2d& tipPoint, Eigen::Vector2d& shaftPoint,
                                                              const Eigen::Matrix4d& toolMatrix) const
{
    const Eigen::Vector3d p0 = toolMatrix.block<3, 1>(0, 3);
    const Eigen::Vector3d p1 = (toolMatrix * Eigen::Vector4d(0.0, 0.0, p_needleLength.value(), 1.0)).head<3>();
    const Eigen::Vector3d d = Math::normalizedOrZero(m_b - m_a);

    // For a point p: w = A − p, s = −d · w is the path coordinate of p's foot (0 at A, growing towards B), and
    // e = w + s d the vector from p to its foot on the line.
    const Eigen::Vector3d w0 = m_a - p0;
    const double s0 = -d.dot(w0);
    const Eigen::Vector3d e0 = w0 + s0 * d;
    tipPoint = Eigen::Vector2d(-e0.norm(), s0);

    // The shaft point is placed in the plane of the path and the tip: its lateral coordinate is its offset along
    // the tip's (negated) lateral direction ê0.
    const Eigen::Vector3d w1 = m_a - p1;
    const double s1 = -d.dot(w1);
    const Eigen::Vector3d e1 = w1 + s1 * d;
    const Eigen::Vector3d e0Hat = Math::normalizedOrZero(e0);
    shaftPoint = Eigen::Vector2d(-e0Hat.dot(e1), s1);
}

std::optional<Eigen::Matrix4d> BullseyeVisualizationAlgorithm::lastToolMatrix() const
{
    return m_toolVisualization->lastToolMatrix();
}

TrackingStream* BullseyeVisualizationAlgorithm::trackingStream() const
{
    return m_toolVisualization->trackingStream();
}

} // namespace Kelvaros
