#pragma once

#include "core/Log.h"

namespace Kelvaros::Fuzz
{

/// Turns the console log off once: every refused input logs an Error, and printing millions of them would only
/// slow the search down.
inline void quietLog()
{
    static const bool off = []
    {
        Log::setConsoleEnabled(false);
        return true;
    }();
    (void)off;
}

} // namespace Kelvaros::Fuzz
