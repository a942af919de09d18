#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "core/Signal.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "GeometryTestSupport.h"

// Instruments, poses and stream drivers shared by every test that feeds tracking samples. Header-only, so a test
// that uses it links KelvarosStream itself.
namespace Kelvaros::Testing
{

constexpr double kPi = 3.14159265358979323846;
constexpr double kDegree = kPi / 180.0;

/// A pose rotating by `angle` radians about `axis`, then translating (mm).
inline Eigen::Matrix4d pose(const Eigen::Vector3d& translation, double angle = 0.0,
                            const Eigen::Vector3d& axis = Eigen::Vector3d::UnitZ())
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
    m.topRightCorner<3, 1>() = translation;
    return m;
}

/// One tool in one sample; its name is "<id> tool".
inline TrackingInstrument instrument(const std::string& id, const Eigen::Matrix4d& pose, double quality = 1.0,
                                     bool tracked = true, int64_t timestamp = 0)
{
    return TrackingInstrument{ TrackerID(id, "TestModel", id + " tool"), pose, quality, timestamp, tracked };
}

/// Angle in degrees between the rotation parts of two poses.
inline double rotationDifferenceDegrees(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b)
{
    const Eigen::Matrix3d d = a.topLeftCorner<3, 3>().transpose() * b.topLeftCorner<3, 3>();
    return Eigen::AngleAxisd(d).angle() / kDegree;
}

inline double translationDifference(const Eigen::Matrix4d& a, const Eigen::Matrix4d& b)
{
    return (a.topRightCorner<3, 1>() - b.topRightCorner<3, 1>()).norm();
}

/// Collects the tracking samples a stream emits, on whichever thread emits them.
class SampleCollector : public SignalReceiver
{
public:
    explicit SampleCollector(Stream& stream)
    {
        stream.signalStreamData.connect(static_cast<SignalReceiver*>(this),
                                        [this](const std::shared_ptr<const StreamData>& data)
                                        {
                                            auto tracking = std::dynamic_pointer_cast<const TrackingStreamData>(data);
                                            std::lock_guard<std::mutex> lock(m_mutex);
                                            m_samples.push_back(std::move(tracking));
                                        });
    }
    ~SampleCollector() override { disconnectAll(); }

    [[nodiscard]] std::vector<std::shared_ptr<const TrackingStreamData>> samples() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples;
    }
    [[nodiscard]] size_t count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples.size();
    }
    [[nodiscard]] std::shared_ptr<const TrackingStreamData> last() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples.empty() ? nullptr : m_samples.back();
    }

private:
    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<const TrackingStreamData>> m_samples;
};

/// A stream driven by the test on the test's own thread: publish() emits any sample synchronously, also samples
/// that are not tracking samples, which no real tracking stream sends.
class DriverStream final : public TrackingStream
{
public:
    DriverStream() : TrackingStream("Driver") {}
    ~DriverStream() override { closeOnDestruction(); }
    [[nodiscard]] ThreadingMode threadingMode() const override { return ThreadingMode::InputThread; }
    void publish(std::shared_ptr<const StreamData> data) { emitStreamData(std::move(data)); }
    void publish(std::vector<TrackingInstrument> instruments)
    {
        emitStreamData(std::make_shared<TrackingStreamData>(this, std::move(instruments)));
    }
};

inline void openAndStart(Stream& stream)
{
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
}

/// Pushes one sample into a running manual stream and waits until its listeners have returned.
inline void feed(ManualTrackingStream& stream, std::vector<TrackingInstrument> instruments, int64_t deviceTimestamp = 0)
{
    stream.push(std::move(instruments), deviceTimestamp);
    ASSERT_TRUE(stream.waitUntilDelivered());
}

} // namespace Kelvaros::Testing
