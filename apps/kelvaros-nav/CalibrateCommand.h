#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `calibrate --pivot FILE [--rotation FILE] [--tool NAME] [--out FILE]`: tool calibration from recorded sequence
/// files through the plug-in's tool calibration algorithm. Prints the calibration matrix, the tip offset, the
/// pivot point and the pivot residuals (and the needle axis with a rotation recording); --out writes them as a
/// properties file. Returns an ExitCode.
int runCalibrate(const std::vector<std::string>& arguments);

extern const char* const kCalibrateUsage;

} // namespace Kelvaros::Nav
