#pragma once

#include "lib/AlgorithmControllerFactory.h"

namespace Kelvaros
{

/// Builds the panel of each of the plug-in's algorithms; null for any other algorithm.
class NavigationAlgorithmControllerFactory : public AlgorithmControllerFactory
{
public:
    NavigationAlgorithmControllerFactory();
    ~NavigationAlgorithmControllerFactory() override;

    [[nodiscard]] std::unique_ptr<AlgorithmController> create(Algorithm* algorithm) const override;
};

} // namespace Kelvaros
