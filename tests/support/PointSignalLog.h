#pragma once

#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/Signal.h"
#include "lib/points/PointsOnData.h"

namespace Kelvaros::Testing
{

/// Records the four index-range signals of a point set as "added 0 1", "removed 2 3", ...
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

} // namespace Kelvaros::Testing
