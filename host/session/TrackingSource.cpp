#include "session/TrackingSource.h"

#include <cstdlib>

#include "stream/igtl/OpenIGTLinkTrackingStream.h"
#include "stream/sources/PlaybackTrackingStream.h"
#include "stream/sources/SimulatedTrackingStream.h"
#include "stream/sources/TrackingSimulator.h"

namespace Kelvaros
{

namespace
{
std::unique_ptr<TrackingStream> simulator(const std::string& scenario, bool free, std::string* error)
{
    if (!TrackingSimulator::scenarioFromName(scenario))
    {
        *error = "unknown simulator scenario '" + scenario + "' (pivot, spin, landmarks, insertion, sweep)";
        return nullptr;
    }
    auto stream = std::make_unique<SimulatedTrackingStream>();
    stream->scenario = scenario;
    stream->freeRunning = free;
    return stream;
}

std::unique_ptr<TrackingStream> openIGTLink(const std::string& address, std::string* error)
{
    const auto colon = address.rfind(':');
    char* end = nullptr;
    const long port = colon == std::string::npos ? 0 : std::strtol(address.c_str() + colon + 1, &end, 10);
    if (colon == std::string::npos || colon == 0 || *end != '\0' || port < 1 || port > 65535)
    {
        *error = "an OpenIGTLink source is igtl://HOST:PORT with a port from 1 to 65535, not igtl://" + address;
        return nullptr;
    }
    auto stream = std::make_unique<OpenIGTLinkTrackingStream>();
    stream->host = address.substr(0, colon);
    stream->port = static_cast<int>(port);
    return stream;
}
} // namespace

std::unique_ptr<TrackingStream> makeTrackingSource(const std::string& source, bool asFastAsPossible, std::string* error)
{
    if (source == "sim")
        return simulator("pivot", asFastAsPossible, error);
    if (source.rfind("sim:", 0) == 0)
        return simulator(source.substr(4), asFastAsPossible, error);
    if (source.rfind("igtl://", 0) == 0)
        return openIGTLink(source.substr(7), error);
    auto playback = std::make_unique<PlaybackTrackingStream>();
    playback->path = source;
    playback->freeRunning = asFastAsPossible;
    return playback;
}

} // namespace Kelvaros
