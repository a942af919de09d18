#include "lib/Algorithm.h"

namespace Kelvaros
{

Algorithm::Algorithm() = default;

Algorithm::~Algorithm() = default;

OwningDataList Algorithm::takeOutput()
{
    return {};
}

bool Algorithm::survivesDataDeletion(const Data*) const
{
    return false;
}

void Algorithm::aboutToDeleteData(const Data*) {}

} // namespace Kelvaros
