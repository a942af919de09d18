#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `register --tracked FILE --image FILE [--type N] [--target "x y z"] [--fle MM]`: paired-point registration of
/// tracked points onto image points (two lists in the same order) with the host's rigid fit. Prints the
/// transform, how the live registration would apply it for the given type, the fiducial registration error with
/// per-pair residuals and the predicted target registration error at the centroid (and at --target, image
/// coordinates). Returns an ExitCode.
int runRegister(const std::vector<std::string>& arguments);

/// One paragraph of usage text.
extern const char* const kRegisterUsage;

} // namespace Kelvaros::Nav
