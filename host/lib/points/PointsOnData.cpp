#include "lib/points/PointsOnData.h"

#include <algorithm>
#include <limits>

#include "core/Log.h"
#include "core/Properties.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "PointsOnData";
const char* const kPointsBlock = "points";
const char* const kPointRecord = "point";
const char* const kFlagKey = "Flag";
} // namespace

PointsOnData::PointsOnData() = default;

PointsOnData::PointsOnData(const PointsOnData& other) : Configurable(), m_names(other.m_names), m_flags(other.m_flags)
{
}

PointsOnData::PointsOnData(PointsOnData&& other) noexcept
  : Configurable(), m_names(std::move(other.m_names)), m_flags(std::move(other.m_flags))
{
}

PointsOnData::~PointsOnData() = default;

void PointsOnData::configure(const Properties* properties)
{
    if (!properties)
        return;
    Configurable::configure(properties);
    const Properties* block = properties->subProperties(kPointsBlock);
    if (!block)
        return;
    clear();
    for (const Properties* record : block->subPropertiesAll(kPointRecord))
    {
        configurePoint(record);
        bool flag = true;
        if (record->param(kFlagKey, flag) && !empty())
            setFlag(size() - 1, flag);
    }
}

void PointsOnData::configuration(Properties* properties) const
{
    if (!properties)
        return;
    Configurable::configuration(properties);
    Properties* block = properties->addSubProperties(kPointsBlock);
    for (int i = 0; i < size(); ++i)
    {
        Properties* record = block->addSubProperties(kPointRecord);
        pointConfiguration(record, i);
        record->setParam(kFlagKey, flag(i));
    }
}

int PointsOnData::size() const
{
    return int(allPoints().size());
}

bool PointsOnData::empty() const
{
    return size() == 0;
}

void PointsOnData::clear()
{
    remove(0, size());
}

Eigen::Vector3d PointsOnData::point(int index) const
{
    const auto& points = allPoints();
    if (index < 0 || index >= int(points.size()))
    {
        Log::logf(Log::Error, kCategory, "point: invalid index {} ({} points)", index, points.size());
        return Eigen::Vector3d::Constant(std::numeric_limits<double>::quiet_NaN());
    }
    return points[size_t(index)];
}

Eigen::Matrix4d PointsOnData::pointsToWorld() const
{
    return Eigen::Matrix4d::Identity();
}

std::string PointsOnData::name(int index) const
{
    return index >= 0 && index < int(m_names.size()) ? m_names[size_t(index)] : std::string();
}

void PointsOnData::setName(const std::string& name, int index)
{
    if (index < 0 || index >= int(m_names.size()))
    {
        Log::logf(Log::Error, kCategory, "setName: invalid index {} ({} points)", index, m_names.size());
        return;
    }
    m_names[size_t(index)] = name;
    signalPointsRenamed.emitSignal(index, index + 1);
}

bool PointsOnData::flag(int index) const
{
    return index >= 0 && index < int(m_flags.size()) && m_flags[size_t(index)];
}

void PointsOnData::setFlag(int index, bool flag)
{
    if (index < 0 || index >= int(m_flags.size()))
    {
        Log::logf(Log::Error, kCategory, "setFlag: invalid index {} ({} points)", index, m_flags.size());
        return;
    }
    if (m_flags[size_t(index)] == flag)
        return;
    m_flags[size_t(index)] = flag;
    signalPointsChanged.emitSignal(index, index + 1);
}

void PointsOnData::appendRecord()
{
    m_names.emplace_back();
    m_flags.push_back(true);
}

void PointsOnData::eraseRecords(int first, int last)
{
    const auto erase = [first, last](auto& list)
    {
        const int f = std::clamp(first, 0, int(list.size()));
        const int l = std::clamp(last, 0, int(list.size()));
        if (f < l)
            list.erase(list.begin() + f, list.begin() + l);
    };
    erase(m_names);
    erase(m_flags);
}

bool PointsOnData::clampRange(int& first, int& last) const
{
    last = std::min(last, size());
    first = std::max(first, 0);
    return first < last;
}

void PointsOnData::updateWorldPoints() {}

} // namespace Kelvaros
