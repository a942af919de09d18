#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `demo [--seed N]`: the typical session on the simulated tracker, end to end, with progress on stderr and a
/// report on stdout that compares every estimate with the simulator's ground truth: a smoothed stream (through
/// the loaded plug-in), the calibration wizard fed with pivoting and spinning recordings, registration of a
/// phantom volume from landmark touches, and needle guidance along a planned path. Returns an ExitCode: failure
/// when a step fails or an estimate is far outside what the simulated noise allows.
int runDemo(const std::vector<std::string>& arguments);

extern const char* const kDemoUsage;

} // namespace Kelvaros::Nav
