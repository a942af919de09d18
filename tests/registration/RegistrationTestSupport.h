#pragma once

#include <string>

#include "stream/TrackingInstrument.h"

#include "GeometryTestSupport.h"
#include "PointSignalLog.h"

namespace Kelvaros::Testing
{

inline TrackingInstrument instrument(const std::string& id, const Eigen::Matrix4d& pose, double quality = 1.0,
                                     bool tracked = true)
{
    return TrackingInstrument{ TrackerID(id, "TestModel", id), pose, quality, 0, tracked };
}

} // namespace Kelvaros::Testing
