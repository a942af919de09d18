#include "NavigationAlgorithmFactory.h"

namespace Kelvaros
{

NavigationAlgorithmFactory::NavigationAlgorithmFactory() : AlgorithmFactory("Navigation", false) {}

NavigationAlgorithmFactory::~NavigationAlgorithmFactory() = default;

} // namespace Kelvaros
