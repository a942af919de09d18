#pragma once

#include <optional>
#include <string>

namespace Kelvaros
{
class Data;
class TrackingStream;
} // namespace Kelvaros

namespace Kelvaros::Nav
{

class HostSession;

/// The stream-creation algorithm a derived stream comes from when nothing else is said.
extern const char* const kSmoothedStreamAlgorithm;

/// Creates a derived tracking stream on `input` through a plug-in's stream-creation algorithm: `algorithmId`,
/// else the name of the configuration file's root (`config` names it after the algorithm), else the smoothed stream.
/// The configuration file (as `config` prints it) configures the algorithm before it runs. The algorithm opens the
/// new stream, which the session owns, and starts it unless `start` is false (a caller that must see every sample
/// connects first and starts it itself). Null with `error` set when the file is refused, the algorithm does not
/// exist or does not fit, or it fails.
TrackingStream* createDerivedStream(HostSession& session, Data& input, std::optional<std::string> algorithmId,
                                    const std::optional<std::string>& configurationPath, std::string* error,
                                    bool start = true);

} // namespace Kelvaros::Nav
