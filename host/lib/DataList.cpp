#include "lib/DataList.h"

#include <algorithm>

#include "lib/SharedImageSet.h"

namespace Kelvaros
{

namespace
{
bool matches(const Data& data, Data::Kind kind)
{
    return kind == Data::Kind::Unknown || data.kind() == kind;
}
} // namespace

DataList::DataList(std::initializer_list<Data*> data) : DataList(std::vector<Data*>(data)) {}

DataList::DataList(std::vector<Data*> data) : m_data(std::move(data))
{
    m_data.erase(std::remove(m_data.begin(), m_data.end(), nullptr), m_data.end());
}

void DataList::add(Data* data)
{
    if (data)
        m_data.push_back(data);
}

Data* DataList::getFirst(Data::Kind kind) const
{
    for (Data* d : m_data)
        if (matches(*d, kind))
            return d;
    return nullptr;
}

SharedImageSet* DataList::getImage(Data::Kind kind, Data::Modality modality) const
{
    std::vector<SharedImageSet*> images = getImages(kind, modality);
    return images.empty() ? nullptr : images.front();
}

std::vector<SharedImageSet*> DataList::getImages(Data::Kind kind, Data::Modality modality) const
{
    std::vector<SharedImageSet*> result;
    for (Data* d : m_data)
    {
        auto* image = dynamic_cast<SharedImageSet*>(d);
        if (image && matches(*image, kind) && (modality == Data::Modality::NA || image->modality() == modality))
            result.push_back(image);
    }
    return result;
}

} // namespace Kelvaros
