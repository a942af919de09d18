#pragma once

#include <memory>
#include <string>

#include "core/Export.h"

namespace Kelvaros
{

class TrackingStream;

/// A tracking source from its text form, not yet opened:
///  - "sim" or "sim:SCENARIO" (pivot, spin, landmarks, insertion, sweep): the simulated tracker at 60 Hz;
///  - "igtl://HOST:PORT": an OpenIGTLink tracking server;
///  - anything else: a sequence file, played back at its recorded pace.
/// `asFastAsPossible` makes the simulator and playback run free instead of in real time. Null with `error` set
/// for a malformed form (unknown scenario, bad port).
KELVAROS_API std::unique_ptr<TrackingStream> makeTrackingSource(const std::string& source, bool asFastAsPossible,
                                                                std::string* error);

} // namespace Kelvaros
