#pragma once

#include <string>

#include "core/Export.h"

namespace Kelvaros
{

/// Receives the progress of long work (a console bar, a progress dialog).
class KELVAROS_API Progress
{
public:
    virtual ~Progress();
    /// percent in [0, 100]; text names the current step.
    virtual void setProgress(double percent, const std::string& text) = 0;
    /// True when the user asked to stop; long work checks it between steps.
    [[nodiscard]] virtual bool wasCanceled() const { return false; }
};

} // namespace Kelvaros
