#pragma once

#include "lib/AlgorithmFactory.h"

namespace Kelvaros
{

/// Registers every algorithm of the plug-in under "Navigation.<name>" with its menu category.
class NavigationAlgorithmFactory : public AlgorithmFactory
{
public:
    NavigationAlgorithmFactory();
    ~NavigationAlgorithmFactory() override;
};

} // namespace Kelvaros
