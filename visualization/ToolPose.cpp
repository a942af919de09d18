#include "visualization/ToolPose.h"

#include <Eigen/LU>

#include "stream/TrackingInstrument.h"

namespace Kelvaros
{

ToolPose toolPoseOf(const std::vector<TrackingInstrument>& instruments, const ToolPoseInputs& inputs)
{
    const bool hasReference = !inputs.referenceId.empty();
    ToolPose pose;
    double targetQuality = 0.0;
    double referenceQuality = hasReference ? 0.0 : 1.0;
    for (const TrackingInstrument& instrument : instruments)
    {
        const std::string& id = instrument.ID();
        if (id.empty())
            continue;
        if (id == inputs.targetId)
        {
            pose.rawTarget = instrument.matrix;
            targetQuality = instrument.quality;
        }
        if (hasReference && id == inputs.referenceId)
        {
            pose.rawReference = instrument.matrix;
            referenceQuality = instrument.quality;
        }
    }
    pose.trackerToWorld = inputs.registration * inputs.referenceCalibration.inverse() * pose.rawReference.inverse();
    pose.toolMatrix = pose.trackerToWorld * pose.rawTarget * inputs.targetCalibration;
    pose.quality = referenceQuality * targetQuality;
    return pose;
}

} // namespace Kelvaros
