#pragma once

#include <memory>

#include "lib/Algorithm.h"
#include "lib/DataList.h"

#include "streams/CreateStreamAlgorithm.h"

namespace Kelvaros
{

/// Creation rule of the algorithm that creates a StreamClass stream, in the form AlgorithmFactory::registerAlgorithm
/// takes: false when StreamClass::isCompatible rejects the data; otherwise true, and with a non-null out-pointer a
/// new CreateStreamAlgorithm<StreamClass> over a copy of the list is built into it (open and start flags set).
/// Main thread, like the factory.
template<typename StreamClass>
bool createStreamAlgorithm(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    if (!StreamClass::isCompatible(data))
        return false;
    if (algorithm)
        *algorithm = std::make_unique<CreateStreamAlgorithm<StreamClass, true, true>>(DataList(data));
    return true;
}

} // namespace Kelvaros
