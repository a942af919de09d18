#include "lib/PluginBase.h"

namespace Kelvaros
{

PluginBase::~PluginBase() = default;

} // namespace Kelvaros
