#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `screenshot OUT.png [--volume FILE] [--size WxH]`: the four-view display with a volume (the simulator's phantom
/// by default, registered to the tracker) and the needle of the insertion scenario 10 mm short of its target, drawn
/// offscreen into a PNG. Needs an X display (Xvfb will do). Returns an ExitCode.
int runScreenshot(const std::vector<std::string>& arguments);

extern const char* const kScreenshotUsage;

} // namespace Kelvaros::Nav
