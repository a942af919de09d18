#pragma once

#include "core/Export.h"

namespace Kelvaros
{

/// What lets the user edit a scene object with the mouse. The annotation model gives it behaviour; for now it is
/// the common base that InteractiveObject owns.
class KELVAROS_API Manipulator
{
public:
    Manipulator() = default;
    virtual ~Manipulator() = default;
    Manipulator(const Manipulator&) = delete;
    Manipulator& operator=(const Manipulator&) = delete;
};

} // namespace Kelvaros
