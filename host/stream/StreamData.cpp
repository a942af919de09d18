#include "stream/StreamData.h"

#include <chrono>

namespace Kelvaros
{

StreamData::StreamData(Stream* stream) : m_stream(stream) {}

StreamData::StreamData(const StreamData& other) = default;
StreamData& StreamData::operator=(const StreamData& other) = default;
StreamData::~StreamData() = default;

void StreamData::updateComponents(const StreamData& other)
{
    if (&other == this)
        return;
    for (DataComponent* component : other.m_components.all())
        m_components.add(component->cloneDerived());
}

std::unique_ptr<StreamData> StreamData::clone() const
{
    return std::make_unique<StreamData>(*this);
}

int64_t StreamData::nowMicroseconds()
{
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

} // namespace Kelvaros
