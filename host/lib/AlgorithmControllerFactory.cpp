#include "lib/AlgorithmControllerFactory.h"

#include <utility>

namespace Kelvaros
{

AlgorithmControllerFactory::AlgorithmControllerFactory(std::string name, bool hidden)
  : m_name(std::move(name)), m_hidden(hidden)
{
}

AlgorithmControllerFactory::~AlgorithmControllerFactory() = default;

} // namespace Kelvaros
