#include "lib/DataComponent.h"

namespace Kelvaros
{

DataComponent::~DataComponent() = default;

} // namespace Kelvaros
