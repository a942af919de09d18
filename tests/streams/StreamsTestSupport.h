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
#include "stream/TrackingStreamData.h"

namespace Kelvaros::Testing
{

constexpr double kDegree = 3.14159265358979323846 / 180.0;

/// A pose rotating by `angle` radians about `axis`, then translating (mm).
inline Eigen::Matrix4d makePose(const Eigen::Vector3d& translation, double angle = 0.0,
                                const Eigen::Vector3d& axis = Eigen::Vector3d::UnitZ())
{
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() = Eigen::AngleAxisd(angle, axis.normalized()).toRotationMatrix();
    pose.topRightCorner<3, 1>() = translation;
    return pose;
}

inline TrackingInstrument makeTool(const std::string& id, const Eigen::Matrix4d& pose, double quality = 1.0,
                                   int64_t timestamp = 0, bool tracked = true)
{
    return TrackingInstrument{ TrackerID(id, "Model", id + " tool"), pose, quality, timestamp, tracked };
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
class Collector : public SignalReceiver
{
public:
    explicit Collector(Stream& stream)
    {
        stream.signalStreamData.connect(static_cast<SignalReceiver*>(this),
                                        [this](const std::shared_ptr<const StreamData>& data)
                                        {
                                            auto tracking = std::dynamic_pointer_cast<const TrackingStreamData>(data);
                                            std::lock_guard<std::mutex> lock(m_mutex);
                                            m_samples.push_back(std::move(tracking));
                                        });
    }
    ~Collector() override { disconnectAll(); }

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

/// Pushes one sample into a running manual stream and waits until its listeners have returned.
inline void feed(ManualTrackingStream& stream, std::vector<TrackingInstrument> instruments, int64_t deviceTimestamp = 0)
{
    stream.push(std::move(instruments), deviceTimestamp);
    ASSERT_TRUE(stream.waitUntilDelivered());
}

inline void openAndStart(Stream& stream)
{
    ASSERT_TRUE(stream.open());
    ASSERT_TRUE(stream.start());
}

} // namespace Kelvaros::Testing
