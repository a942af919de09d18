#pragma once

#include "gui/annotation/PointsOnDataManipulator.h"

namespace Kelvaros
{

class PointsOnImage;

/// Places and moves the points of an image's point set with the mouse: a click in a view adds a point at the
/// world position under the cursor, stored by the point set in its image's coordinates; dragging a handle moves
/// its point. Main thread only; the point set must outlive the manipulator.
class KELVAROS_API PointsOnImageManipulator : public PointsOnDataManipulator
{
public:
    /// With `continuousCreation`, once startPointCreation was called every click adds a point until
    /// cancelPointCreation; without it each startPointCreation places one point.
    PointsOnImageManipulator(PointsOnImage& points, bool continuousCreation);

    [[nodiscard]] PointsOnData& pointHandler() override;
    void onCreatePointInteraction(const Eigen::Vector3d& world) override;
    void onMovePointInteraction(Manipulator* manipulator) override;

private:
    PointsOnImage& m_points;
    bool m_continuousCreation;
};

} // namespace Kelvaros
