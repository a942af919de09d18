#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `image-info FILE|FOLDER`: what a user checks first about a volume (format, size, spacing, the file's LPS
/// geometry and our RAS placement, value range, memory). Returns an ExitCode.
int runImageInfo(const std::vector<std::string>& arguments);
/// `phantom OUT.nrrd|OUT.mha [--spacing MM]`: writes the simulated tracker's phantom as an image. Returns an
/// ExitCode.
int runPhantom(const std::vector<std::string>& arguments);

/// One paragraph of usage text each.
extern const char* const kImageInfoUsage;
extern const char* const kPhantomUsage;

} // namespace Kelvaros::Nav
