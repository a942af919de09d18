#include "lib/DataAnnotationFactory.h"

namespace Kelvaros
{

DataAnnotationFactory::~DataAnnotationFactory() = default;

} // namespace Kelvaros
