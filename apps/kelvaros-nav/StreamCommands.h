#pragma once

#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// `smooth --in FILE --out FILE [--config FILE] [--algorithm ID]`: plays a sequence file as fast as it can
/// through a derived stream (the smoothed stream unless the configuration or --algorithm says otherwise) and
/// writes every sample the derived stream emits (CSV when the name ends in .csv).
int runSmooth(const std::vector<std::string>& arguments);

/// `record --source SOURCE --out FILE --seconds S`: records a source for S seconds (a played-back file ends
/// earlier when it runs out) and writes the samples.
int runRecord(const std::vector<std::string>& arguments);

/// `relay --source SOURCE [--port P] [--config FILE] [--algorithm ID] [--seconds S]`: follows a source, applies
/// a derived stream and serves the result over OpenIGTLink until S seconds passed or the user interrupts.
int runRelay(const std::vector<std::string>& arguments);

extern const char* const kSmoothUsage;
extern const char* const kRecordUsage;
extern const char* const kRelayUsage;

} // namespace Kelvaros::Nav
