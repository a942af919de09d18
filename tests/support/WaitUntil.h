#pragma once

#include <chrono>
#include <thread>

namespace Kelvaros::Testing
{

/// Polls a condition until it holds or the timeout has passed; true when it held. Tests assert on the result, so a
/// broken implementation fails instead of hanging, and a loaded machine only makes the wait longer.
template<typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition())
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
}

} // namespace Kelvaros::Testing
