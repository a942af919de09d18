#include "gui/annotation/PointsOnImageManipulator.h"

#include "gui/scene/GlPoint.h"
#include "lib/points/PointsOnImage.h"

namespace Kelvaros
{

PointsOnImageManipulator::PointsOnImageManipulator(PointsOnImage& points, bool continuousCreation)
  : m_points(points), m_continuousCreation(continuousCreation)
{
}

PointsOnData& PointsOnImageManipulator::pointHandler()
{
    return m_points;
}

void PointsOnImageManipulator::onCreatePointInteraction(const Eigen::Vector3d& world)
{
    m_points.addWorldPoint(world);
    if (m_continuousCreation)
        startPointCreation();
}

void PointsOnImageManipulator::onMovePointInteraction(Manipulator* manipulator)
{
    const int index = handleIndex(manipulator);
    if (index >= 0 && !handle(index)->points().empty())
        m_points.setWorldPoint(handle(index)->points().front(), index);
}

} // namespace Kelvaros
