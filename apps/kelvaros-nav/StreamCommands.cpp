#include "StreamCommands.h"

#include <chrono>
#include <cstdio>
#include <functional>

#include <fmt/format.h>

#include "stream/TrackingStream.h"
#include "stream/igtl/OpenIGTLinkTrackingServer.h"
#include "stream/sources/PlaybackTrackingStream.h"

#include "CommandLine.h"
#include "CommandWait.h"
#include "DerivedStream.h"
#include "ExitCode.h"
#include "HostSession.h"
#include "OutputPath.h"
#include "SampleCollector.h"
#include "SmoothingPreset.h"
#include "session/RecordingWriter.h"
#include "session/TrackingSource.h"

namespace Kelvaros::Nav
{

const char* const kSmoothUsage =
  "  smooth --in FILE --out FILE [--config FILE] [--algorithm ID] [--preset NAME]\n"
  "               plays a sequence file as fast as possible through the smoothed stream (or the\n"
  "               derived stream the configuration names, see config) and writes what it emits;\n"
  "               --preset default|adaptive sets up the smoothed stream (adaptive: steady at rest,\n"
  "               no lag in motion)\n";
const char* const kRecordUsage =
  "  record --source SOURCE --out FILE --seconds S\n"
  "               records a source to a sequence file (.csv: CSV export); SOURCE is\n"
  "               sim[:pivot|spin|landmarks|insertion|sweep], igtl://HOST:PORT or a sequence file\n";
const char* const kRelayUsage =
  "  relay --source SOURCE [--port P] [--config FILE] [--algorithm ID] [--preset NAME] [--seconds S]\n"
  "               follows a source, applies the smoothed (or configured) stream and serves the result\n"
  "               over OpenIGTLink on 127.0.0.1:P (default 18945) until S seconds passed or Ctrl-C;\n"
  "               --preset as for smooth\n";

namespace
{
int fail(const char* command, int code, const std::string& error)
{
    std::fprintf(stderr, "kelvaros-nav %s: %s\n", command, error.c_str());
    return code;
}

/// Ends a recording: exit 4 when the file could not be written (the old one stays), 1 when nothing was written or
/// fewer samples than the source played (`played`, when the source knows it), else 0.
int finishRecording(const char* command, RecordingWriter& recording, const std::string& path,
                    std::optional<int64_t> played)
{
    const bool replaced = recording.finish();
    if (!recording.error().empty())
        return fail(command, ExitOutputError, recording.error() + " (any previous file is left as it was)");
    if (!replaced)
        return fail(command, ExitFailure,
                    fmt::format("received {} samples and skipped {} that a sequence file cannot hold; nothing "
                                "written, {} left as it was",
                                recording.received(), recording.refused(), path));
    std::printf("Wrote %lld samples to %s\n", static_cast<long long>(recording.written()), path.c_str());
    if (played && *played != recording.written())
        return fail(command, ExitFailure,
                    fmt::format("{} of the {} samples played were lost ({} skipped as unstorable)",
                                *played - recording.written(), *played, recording.refused()));
    return ExitSuccess;
}

/// Waits until the time is up, a playback source played its last sample or the user interrupts, showing progress
/// on stderr once a second.
void waitFor(double seconds, TrackingStream& source, const std::function<size_t()>& count)
{
    CommandWait wait;
    wait.followPlayback(source);
    wait.wait(seconds,
              [&count](double elapsed) { std::fprintf(stderr, "  %5.1f s  %zu samples\n", elapsed, count()); });
}

/// Opens and starts a source; its own message is in the log when it cannot.
bool startSource(TrackingStream& source)
{
    return source.open() && source.start();
}

std::optional<double> positiveSeconds(const CommandLine& line, double fallback, std::string* error)
{
    const auto seconds = line.number("seconds", fallback, error);
    if (seconds && *seconds <= 0)
    {
        *error = "--seconds must be positive";
        return std::nullopt;
    }
    return seconds;
}
} // namespace

int runSmooth(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "in", "out", "config", "algorithm", "preset" }, {}, 0, 0 });
    if (!line.ok() || !line.value("in") || !line.value("out"))
        return fail("smooth", ExitUsage, line.ok() ? "smooth needs --in FILE and --out FILE" : line.error());
    const PresetChoice preset = presetOf(line);
    if (!preset.error.empty())
        return fail("smooth", ExitUsage, preset.error);
    std::string error;
    if (refuseOwnInput(line.value("out"), { line.value("in"), line.value("config") }, &error))
        return fail("smooth", ExitUsage, error);
    RecordingWriter recording(*line.value("out"));
    if (!recording.open())
        return fail("smooth", ExitOutputError, recording.error());
    HostSession session;
    if (!session.loadPlugins())
        return ExitFailure;

    auto playback = std::make_unique<PlaybackTrackingStream>("Recording");
    playback->path = *line.value("in");
    playback->freeRunning = true;
    if (!playback->open())
        return fail("smooth", ExitBadInput, *line.value("in") + ": refused (see the message above)");
    auto* input = static_cast<PlaybackTrackingStream*>(session.app().addData(std::move(playback)));

    TrackingStream* derived =
      createDerivedStream(session, *input, line.value("algorithm"), line.value("config"), &error, false);
    if (!derived)
        return fail("smooth",
                    line.value("config") && error.find("refused") != std::string::npos ? ExitBadInput : ExitFailure,
                    error);
    if (preset.configuration)
        derived->configure(preset.configuration.get());
    recording.listen(*derived);
    if (!derived->start() || !input->waitUntilFinished(std::chrono::minutes(10)))
        return fail("smooth", ExitFailure, "the recording could not be played to its end");
    input->stop();
    derived->stop();
    std::printf("Played %lld samples through %s\n", static_cast<long long>(input->numDelivered()),
                derived->describe().c_str());
    return finishRecording("smooth", recording, *line.value("out"), input->numDelivered());
}

int runRecord(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "source", "out", "seconds" }, {}, 0, 0 });
    std::string error = line.error();
    const auto seconds = error.empty() ? positiveSeconds(line, 0, &error) : std::nullopt;
    if (error.empty() && (!line.value("source") || !line.value("out") || !line.value("seconds")))
        error = "record needs --source SOURCE, --out FILE and --seconds S";
    if (!error.empty())
        return fail("record", ExitUsage, error);

    if (refuseOwnInput(line.value("out"), { line.value("source") }, &error))
        return fail("record", ExitUsage, error);
    auto source = makeTrackingSource(*line.value("source"), false, &error);
    if (!source)
        return fail("record", ExitUsage, error);
    RecordingWriter recording(*line.value("out"));
    if (!recording.open())
        return fail("record", ExitOutputError, recording.error());
    recording.listen(*source);
    if (!startSource(*source))
        return fail("record", ExitBadInput, "cannot start " + *line.value("source") + " (see the message above)");
    std::fprintf(stderr, "Recording %s for %g s\n", source->describe().c_str(), *seconds);
    waitFor(*seconds, *source, [&recording] { return recording.received(); });
    source->stop();
    source->close();
    const auto* playback = dynamic_cast<const PlaybackTrackingStream*>(source.get());
    return finishRecording("record", recording, *line.value("out"),
                           playback ? std::optional<int64_t>(playback->numDelivered()) : std::nullopt);
}

int runRelay(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments, { { "source", "port", "config", "algorithm", "preset", "seconds" }, {}, 0, 0 });
    const PresetChoice preset = line.ok() ? presetOf(line) : PresetChoice{};
    std::string error = line.ok() ? preset.error : line.error();
    const auto seconds = error.empty() ? positiveSeconds(line, 1e9, &error) : std::nullopt;
    const auto port = error.empty() ? line.integer("port", 18945, &error) : std::nullopt;
    if (error.empty() && (*port < 1 || *port > 65535))
        error = "--port must be from 1 to 65535";
    if (error.empty() && !line.value("source"))
        error = "relay needs --source SOURCE";
    if (!error.empty())
        return fail("relay", ExitUsage, error);

    HostSession session;
    if (!session.loadPlugins())
        return ExitFailure;
    auto created = makeTrackingSource(*line.value("source"), false, &error);
    if (!created)
        return fail("relay", ExitUsage, error);
    auto* source = static_cast<TrackingStream*>(session.app().addData(std::move(created)));
    if (!startSource(*source))
        return fail("relay", ExitBadInput, "cannot start " + *line.value("source") + " (see the message above)");
    TrackingStream* derived =
      createDerivedStream(session, *source, line.value("algorithm"), line.value("config"), &error);
    if (!derived)
        return fail("relay", ExitFailure, error);
    if (preset.configuration)
        derived->configure(preset.configuration.get());

    OpenIGTLinkTrackingServer server(*derived);
    server.port = *port;
    if (!server.start())
        return fail("relay", ExitFailure, "cannot serve on port " + std::to_string(*port));
    std::fprintf(stderr, "Relaying %s as %s on 127.0.0.1:%d\n", source->describe().c_str(), derived->describe().c_str(),
                 *port);
    SampleCollector counter(*derived, false);
    waitFor(*seconds, *source, [&counter] { return counter.size(); });
    server.stop();
    source->stop();
    std::printf("Relayed %zu samples\n", counter.size());
    return ExitSuccess;
}

} // namespace Kelvaros::Nav
