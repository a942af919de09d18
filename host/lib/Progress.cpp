#include "lib/Progress.h"

namespace Kelvaros
{

Progress::~Progress() = default;

} // namespace Kelvaros
