#include "stream/TrackingTrail.h"

#include <algorithm>

#include "stream/TrackingStreamDisplayOptions.h"

namespace Kelvaros
{
namespace
{
// Views draw a snapshot at most a frame or two behind the newest sample; the second after that lets them draw the
// whole last second of theirs while the delivery thread moves on.
constexpr int64_t kKeptUs = 2 * TrackingTrail::kLastSecondUs;
} // namespace

bool TrackingTrail::choose(int pathDisplay)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pathDisplay == m_kind)
        return false;
    m_kind = pathDisplay;
    m_tips.clear();
    ++m_version;
    return true;
}

void TrackingTrail::clear()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_tips.clear();
    ++m_version;
}

int TrackingTrail::kind() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_kind;
}

void TrackingTrail::append(size_t instrument, uint64_t sequence, int64_t timeUs, const Eigen::Vector3d& tip_Tracker)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_kind == TrackingStreamDisplayOptions::NoPath)
        return;
    if (m_tips.size() <= instrument)
        m_tips.resize(instrument + 1);
    std::deque<Tip>& tips = m_tips[instrument];
    if (tips.empty() || tips.back().position != tip_Tracker)
        ++m_version;
    tips.push_back({ sequence, timeUs, tip_Tracker });
    if (tips.size() > kMaxTips)
        tips.pop_front();
    if (m_kind == TrackingStreamDisplayOptions::LastSecond)
        dropOld(tips, timeUs);
}

void TrackingTrail::dropOld(std::deque<Tip>& tips, int64_t nowUs)
{
    while (!tips.empty() && tips.front().timeUs < nowUs - kKeptUs)
        tips.pop_front();
    // The tips that left the drawn second with this sample change the line unless they lay where it now begins (a
    // still tool).
    const int64_t shownFrom = nowUs - kLastSecondUs;
    const int64_t shownBefore = tips.size() > 1 ? tips[tips.size() - 2].timeUs - kLastSecondUs : shownFrom;
    const auto first =
      std::find_if(tips.begin(), tips.end(), [shownFrom](const Tip& t) { return t.timeUs >= shownFrom; });
    for (auto left = first; left != tips.begin() && (left - 1)->timeUs >= shownBefore; --left)
        if ((left - 1)->position != first->position)
        {
            ++m_version;
            return;
        }
}

uint64_t TrackingTrail::version() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_version;
}

std::vector<std::vector<Eigen::Vector3d>> TrackingTrail::tips(uint64_t sequence, int64_t sinceUs) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::vector<Eigen::Vector3d>> result;
    for (const std::deque<Tip>& tips : m_tips)
    {
        std::vector<Eigen::Vector3d> drawn;
        for (const Tip& tip : tips)
            if (tip.sequence <= sequence && tip.timeUs >= sinceUs)
                drawn.push_back(tip.position);
        if (!drawn.empty())
            result.push_back(std::move(drawn));
    }
    return result;
}

} // namespace Kelvaros
