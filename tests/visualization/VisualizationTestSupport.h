#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Geometry>

#include "stream/StreamData.h"
#include "stream/TrackingInstrument.h"
#include "stream/TrackingStream.h"

#include "GeometryTestSupport.h"

namespace Kelvaros::Testing
{

inline TrackingInstrument instrument(const std::string& id, const Eigen::Matrix4d& pose, double quality = 1.0)
{
    return TrackingInstrument{ TrackerID(id, "model", id + " name"), pose, quality, 0, true };
}

/// A stream driven by the test on its own thread: publish() emits any sample synchronously, also samples that are
/// not tracking samples, which no real tracking stream sends.
class DriverStream final : public TrackingStream
{
public:
    DriverStream() : TrackingStream("Driver") {}
    ~DriverStream() override { closeOnDestruction(); }
    [[nodiscard]] ThreadingMode threadingMode() const override { return ThreadingMode::InputThread; }
    void publish(std::shared_ptr<const StreamData> data) { emitStreamData(std::move(data)); }
};

} // namespace Kelvaros::Testing
