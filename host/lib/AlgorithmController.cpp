#include "lib/AlgorithmController.h"

#include "lib/Algorithm.h"

namespace Kelvaros
{

AlgorithmController::AlgorithmController(Algorithm* algorithm) : m_algorithm(algorithm) {}

AlgorithmController::~AlgorithmController() = default;

std::string AlgorithmController::title() const
{
    if (!m_algorithm)
        return {};
    const Algorithm::FactoryInfo& info = m_algorithm->factoryInfo();
    return info.name.empty() ? info.id : info.name;
}

void AlgorithmController::closeAlgorithm()
{
    signalCloseRequested.emitSignal();
}

} // namespace Kelvaros
