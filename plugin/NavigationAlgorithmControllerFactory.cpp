#include "NavigationAlgorithmControllerFactory.h"

#include "lib/AlgorithmController.h"

namespace Kelvaros
{

NavigationAlgorithmControllerFactory::NavigationAlgorithmControllerFactory()
  : AlgorithmControllerFactory("Navigation", false)
{
}

NavigationAlgorithmControllerFactory::~NavigationAlgorithmControllerFactory() = default;

std::unique_ptr<AlgorithmController> NavigationAlgorithmControllerFactory::create(Algorithm*) const
{
    return nullptr;
}

} // namespace Kelvaros
