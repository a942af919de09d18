#include "stream/ElementwiseDataComponentList.h"

#include <algorithm>

namespace Kelvaros
{

ElementwiseDataComponentList::ElementwiseDataComponentList(const ElementwiseDataComponentList& other)
{
    *this = other;
}

ElementwiseDataComponentList& ElementwiseDataComponentList::operator=(const ElementwiseDataComponentList& other)
{
    if (this == &other)
        return *this;
    std::vector<std::unique_ptr<DataComponentList>> copy;
    copy.reserve(other.m_elements.size());
    for (const auto& element : other.m_elements)
        copy.push_back(element ? std::make_unique<DataComponentList>(*element) : nullptr);
    m_elements.swap(copy);
    return *this;
}

ElementwiseDataComponentList::~ElementwiseDataComponentList() = default;

DataComponentList& ElementwiseDataComponentList::element(int index)
{
    auto& slot = m_elements.at(size_t(index));
    if (!slot)
        slot = std::make_unique<DataComponentList>();
    return *slot;
}

const DataComponentList& ElementwiseDataComponentList::element(int index) const
{
    static const DataComponentList empty;
    const auto& slot = m_elements.at(size_t(index));
    return slot ? *slot : empty;
}

bool ElementwiseDataComponentList::hasComponents(int index) const
{
    const auto& slot = m_elements.at(size_t(index));
    return slot && slot->size() > 0;
}

void ElementwiseDataComponentList::resize(int size)
{
    m_elements.resize(size_t(std::max(size, 0)));
}

void ElementwiseDataComponentList::insert(int index)
{
    if (index < 0 || index > size())
        return;
    m_elements.insert(m_elements.begin() + index, nullptr);
}

void ElementwiseDataComponentList::remove(int index)
{
    if (index < 0 || index >= size())
        return;
    m_elements.erase(m_elements.begin() + index);
}

} // namespace Kelvaros
