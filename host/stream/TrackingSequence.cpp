#include "stream/TrackingSequence.h"

#include <utility>

namespace Kelvaros
{

TrackingSequence::TrackingSequence(std::string name) : Data(std::move(name)) {}

TrackingSequence::TrackingSequence(const TrackingSequence& other) = default;
TrackingSequence::~TrackingSequence() = default;

int TrackingSequence::size() const
{
    return int(m_samples.size());
}

Eigen::Matrix4d TrackingSequence::matrix(int i) const
{
    return m_samples.at(size_t(i)).pose;
}

int64_t TrackingSequence::timestamp(int i) const
{
    return m_samples.at(size_t(i)).timestamp;
}

double TrackingSequence::quality(int i) const
{
    return m_samples.at(size_t(i)).quality;
}

bool TrackingSequence::tracked(int i) const
{
    return m_samples.at(size_t(i)).tracked;
}

int TrackingSequence::add(const Eigen::Matrix4d& pose, int64_t timestamp, double quality, bool tracked)
{
    m_samples.push_back(Sample{ pose, timestamp, quality, tracked });
    elementwiseComponents().resize(int(m_samples.size()));
    return int(m_samples.size()) - 1;
}

void TrackingSequence::setMatrix(int i, const Eigen::Matrix4d& pose)
{
    m_samples.at(size_t(i)).pose = pose;
}

bool TrackingSequence::remove(int i)
{
    if (i < 0 || i >= size())
        return false;
    m_samples.erase(m_samples.begin() + i);
    elementwiseComponents().remove(i);
    return true;
}

void TrackingSequence::clear()
{
    m_samples.clear();
    elementwiseComponents().clear();
}

} // namespace Kelvaros
