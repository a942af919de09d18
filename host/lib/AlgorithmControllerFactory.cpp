#include "lib/AlgorithmControllerFactory.h"

#include <utility>

#include "lib/AlgorithmController.h"
#include "lib/DataList.h"

namespace Kelvaros
{

AlgorithmControllerFactory::AlgorithmControllerFactory(std::string name, bool hidden)
  : m_name(std::move(name)), m_hidden(hidden)
{
}

AlgorithmControllerFactory::~AlgorithmControllerFactory() = default;

std::vector<std::unique_ptr<AlgorithmController>> AlgorithmControllerFactory::compatibleDataControllers(
  const DataList&) const
{
    return {};
}

} // namespace Kelvaros
