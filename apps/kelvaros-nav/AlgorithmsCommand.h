#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `algorithms [--data KINDS]`: the loaded plug-ins and every registered algorithm with identifier and menu
/// category; with --data, whether each fits that data selection. Returns an ExitCode.
int runAlgorithms(const std::vector<std::string>& arguments);

/// `config ALGORITHM [--data KINDS]`: the algorithm's default configuration, as the XML that --config accepts.
/// Without --data the first selection the algorithm fits is used (none, one tracking stream, one image, ...).
int runConfig(const std::vector<std::string>& arguments);

extern const char* const kAlgorithmsUsage;
extern const char* const kConfigUsage;

} // namespace Kelvaros::Nav
