#pragma once

#include <random>
#include <string>
#include <vector>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/Signal.h"
#include "lib/points/PointsOnData.h"
#include "stream/TrackingInstrument.h"

namespace Kelvaros::Testing
{

/// Records the index-range signals of a point set as "added 0 1", "removed 2 3", ...
class PointSignalLog : public SignalReceiver
{
public:
    explicit PointSignalLog(PointsOnData& points)
    {
        points.signalPointsAdded.connect(this, [this](int f, int e) { add("added", f, e); });
        points.signalPointsChanged.connect(this, [this](int f, int e) { add("changed", f, e); });
        points.signalPointsRemoved.connect(this, [this](int f, int e) { add("removed", f, e); });
        points.signalPointsRenamed.connect(this, [this](int f, int e) { add("renamed", f, e); });
    }
    ~PointSignalLog() override { disconnectAll(); }

    std::vector<std::string> events;

private:
    void add(const char* what, int first, int end) { events.push_back(fmt::format("{} {} {}", what, first, end)); }
};

/// A random rigid transform: uniform rotation, translation within ±`reach` mm per axis.
inline Eigen::Matrix4d randomRigid(std::mt19937& rng, double reach = 200.0)
{
    std::normal_distribution<double> normal;
    std::uniform_real_distribution<double> shift(-reach, reach);
    Eigen::Quaterniond q(normal(rng), normal(rng), normal(rng), normal(rng));
    q.normalize();
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topLeftCorner<3, 3>() = q.toRotationMatrix();
    m.topRightCorner<3, 1>() = Eigen::Vector3d(shift(rng), shift(rng), shift(rng));
    return m;
}

inline Eigen::Matrix4d translation(const Eigen::Vector3d& t)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topRightCorner<3, 1>() = t;
    return m;
}

inline Eigen::Vector3d apply(const Eigen::Matrix4d& m, const Eigen::Vector3d& p)
{
    return (m * p.homogeneous()).head<3>();
}

/// `count` points spread over a box of ±`half` mm.
inline std::vector<Eigen::Vector3d> randomPoints(std::mt19937& rng, int count, double half = 80.0)
{
    std::uniform_real_distribution<double> u(-half, half);
    std::vector<Eigen::Vector3d> points;
    for (int i = 0; i < count; ++i)
        points.emplace_back(u(rng), u(rng), u(rng));
    return points;
}

inline TrackingInstrument instrument(const std::string& id, const Eigen::Matrix4d& pose, double quality = 1.0,
                                     bool tracked = true)
{
    return TrackingInstrument{ TrackerID(id, "TestModel", id), pose, quality, 0, tracked };
}

} // namespace Kelvaros::Testing
