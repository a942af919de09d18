#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `breach RECORDING --tool ID --calibration FILE --registration FILE --structure MESH [--structure MESH ...]
/// [--needle-length MM] [--margin MM] --out OUT.csv`: how close a recorded tool came to critical structures (meshes
/// in image space), frame by frame, written as CSV. Returns an ExitCode.
int runBreach(const std::vector<std::string>& arguments);

extern const char* const kBreachUsage;

} // namespace Kelvaros::Nav
