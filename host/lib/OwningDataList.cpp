#include "lib/OwningDataList.h"

namespace Kelvaros
{

OwningDataList::~OwningDataList() = default;

void OwningDataList::add(std::unique_ptr<Data> data)
{
    if (data)
        m_data.push_back(std::move(data));
}

DataList OwningDataList::dataList() const
{
    DataList list;
    for (const auto& d : m_data)
        list.add(d.get());
    return list;
}

std::vector<std::unique_ptr<Data>> OwningDataList::release()
{
    std::vector<std::unique_ptr<Data>> released;
    released.swap(m_data);
    return released;
}

} // namespace Kelvaros
