#include "stream/ElementwiseDataComponentData.h"

namespace Kelvaros
{

ElementwiseDataComponentData::~ElementwiseDataComponentData() = default;

} // namespace Kelvaros
