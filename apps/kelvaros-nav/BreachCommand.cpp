#include "BreachCommand.h"

#include <cstdio>
#include <optional>
#include <set>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "core/AtomicFile.h"
#include "core/FileSystem.h"
#include "lib/geometry/CriticalStructures.h"
#include "lib/geometry/Mesh.h"
#include "stream/io/TrackingSequenceFile.h"

#include "CommandLine.h"
#include "ExitCode.h"
#include "MatrixFile.h"
#include "OutputPath.h"
#include "imageio/StructureFiles.h"

namespace Kelvaros::Nav
{

const char* const kBreachUsage =
  "  breach RECORDING --tool ID --calibration FILE --registration FILE --structure FILE\n"
  "         [--structure FILE ...] [--needle-length MM] [--margin MM] --out OUT.csv\n"
  "               per frame of a sequence file, the signed distance (negative inside) of the tool's\n"
  "               tip, or of its needle over --needle-length back from the tip, to the nearest\n"
  "               critical structure (an STL, OBJ or PLY mesh in image space, or each label 1..64\n"
  "               of a label map .nrrd .nii .mha, named \"FILE label N\"), as CSV\n"
  "               time_s,distance_mm,inside,status,structure with status clear, warning (within\n"
  "               --margin, default 5 mm), breach or not_seen; --calibration as calibrate --out\n"
  "               writes it, --registration the image-to-tracker matrix register prints\n";

namespace
{
struct BreachOptions
{
    std::string recording;
    std::string tool;
    std::string calibration;
    std::string registration;
    std::vector<std::string> structures;
    std::string out;
    double needleLength = 0;
    double margin = CriticalStructures::kDefaultMargin;
};

/// What the command measures with: the recording, and the transforms that carry a tracked pose to the needle in
/// image space.
struct BreachInputs
{
    std::vector<TrackingSample> samples;
    Eigen::Matrix4d calibration = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d imageFromTracker = Eigen::Matrix4d::Identity();
    CriticalStructures structures;
};

struct Tally
{
    int frames[5] = {};
    int notSeen = 0;
    BreachDistance closest;
    double closestTime = 0;
};

std::optional<BreachOptions> parseOptions(const CommandLine& line, std::string* error)
{
    BreachOptions options;
    const auto needle = line.number("needle-length", 0, error);
    const auto margin = needle ? line.number("margin", CriticalStructures::kDefaultMargin, error) : std::nullopt;
    if (!needle || !margin)
        return std::nullopt;
    for (const char* name : { "tool", "calibration", "registration", "out" })
        if (!line.value(name) && error->empty())
            *error = fmt::format("breach needs --{}", name);
    if (!error->empty())
        return std::nullopt;
    if (line.values("structure").empty())
        *error = "breach needs at least one --structure FILE";
    else if (!(*needle >= 0 && *needle <= CriticalStructures::kMaxNeedleLength))
        *error = "--needle-length must be between 0 and 1000 mm";
    else if (!(*margin >= 0))
        *error = "--margin must not be negative";
    if (!error->empty())
        return std::nullopt;
    return BreachOptions{ line.positional().front(),
                          *line.value("tool"),
                          *line.value("calibration"),
                          *line.value("registration"),
                          line.values("structure"),
                          *line.value("out"),
                          *needle,
                          *margin };
}

/// Empty when the tool is in the recording, else the instruments that are (at most ten, so that a hostile file
/// cannot make the message endless).
std::optional<std::string> otherInstruments(const std::vector<TrackingSample>& samples, const std::string& tool)
{
    std::set<std::string> ids;
    for (const TrackingSample& sample : samples)
        for (const TrackingInstrument& instrument : sample.instruments)
        {
            if (instrument.ID() == tool)
                return std::nullopt;
            if (ids.size() < 11)
                ids.insert(instrument.ID());
        }
    std::string list;
    for (const std::string& id : ids)
        list += (list.empty() ? "'" : ", '") + id + "'";
    return ids.empty() ? std::string("none") : ids.size() > 10 ? list + ", ..." : list;
}

/// The structures of a mesh file or a label map, in the volume's image space.
bool addStructures(CriticalStructures& structures, const std::string& path, std::string* error)
{
    if (const std::string why = FileSystem::whyNotReadable(path); !why.empty())
    {
        *error = fmt::format("{}: cannot be read: {}", path, why);
        return false;
    }
    const auto read = StructureFiles::read(path, error);
    if (!read)
        return false;
    for (const StructureFiles::Structure& structure : *read)
        if (!structures.add(structure.name, *structure.mesh, error))
            return false;
    return true;
}

std::optional<BreachInputs> readInputs(const BreachOptions& options, std::string* error)
{
    BreachInputs inputs;
    auto samples = TrackingSequenceFile::read(options.recording);
    const auto calibration = readMatrixFile(options.calibration, "calibration", error);
    const auto registration = calibration ? readMatrixFile(options.registration, "registration", error) : std::nullopt;
    if (!samples)
        *error = options.recording + ": refused (see the message above)";
    else if (const auto others = otherInstruments(*samples, options.tool); others && calibration && registration)
        *error = fmt::format("{}: no instrument '{}' (instruments: {})", options.recording, options.tool, *others);
    if (!samples || !calibration || !registration || !error->empty())
        return std::nullopt;
    inputs.samples = std::move(*samples);
    inputs.calibration = *calibration;
    inputs.imageFromTracker = registration->inverse();
    (void)inputs.structures.setMargin(options.margin);
    // A recording is measured once and read later: every row exact, far ones too.
    inputs.structures.setExact(true);
    for (const std::string& path : options.structures)
        if (!addStructures(inputs.structures, path, error))
            return std::nullopt;
    return inputs;
}

const char* statusName(BreachStatus status)
{
    switch (status)
    {
        case BreachStatus::Clear:
            return "clear";
        case BreachStatus::Warning:
            return "warning";
        case BreachStatus::Breach:
            return "breach";
        default:
            return "refused";
    }
}

/// A file name may hold a comma or a quote; quoted, it stays one field.
std::string csvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

/// The tool's pose in this frame, when it was tracked in it.
std::optional<Eigen::Matrix4d> trackedPose(const TrackingSample& sample, const std::string& tool)
{
    for (const TrackingInstrument& instrument : sample.instruments)
        if (instrument.ID() == tool && instrument.tracked)
            return instrument.matrix;
    return std::nullopt;
}

std::string frameRow(const TrackingSample& sample, const BreachInputs& inputs, const BreachOptions& options,
                     Tally& tally)
{
    const double time = double(sample.timestampDevice) / 1e6;
    const auto pose = trackedPose(sample, options.tool);
    // An untracked frame's pose is whatever the device last had; a distance from it would look current.
    if (!pose)
    {
        ++tally.notSeen;
        return fmt::format("{:.6f},,,not_seen,\n", time);
    }
    const Eigen::Matrix4d needle = inputs.imageFromTracker * *pose * inputs.calibration;
    const BreachDistance result =
      inputs.structures.needle(needle.col(3).head<3>(), needle.col(2).head<3>(), options.needleLength);
    if (result.status == BreachStatus::Refused)
    {
        ++tally.notSeen;
        return fmt::format("{:.6f},,,refused,\n", time);
    }
    ++tally.frames[int(result.status)];
    if (result.distance < tally.closest.distance)
    {
        tally.closest = result;
        tally.closestTime = time;
    }
    return fmt::format("{:.6f},{:.3f},{},{},{}\n", time, result.distance, result.inside ? 1 : 0,
                       statusName(result.status), csvField(result.structure));
}

int writeRows(const BreachInputs& inputs, const BreachOptions& options)
{
    AtomicFile out(options.out);
    Tally tally;
    bool written = out.open() && out.write("time_s,distance_mm,inside,status,structure\n");
    for (std::size_t i = 0; written && i < inputs.samples.size(); ++i)
        written = out.write(frameRow(inputs.samples[i], inputs, options, tally));
    if (!written || !out.commit())
    {
        std::fprintf(stderr, "kelvaros-nav breach: %s\n", out.error().c_str());
        return ExitOutputError;
    }
    std::printf("Wrote %zu frames to %s: %d clear, %d warning, %d breach, %d not seen\n", inputs.samples.size(),
                options.out.c_str(), tally.frames[int(BreachStatus::Clear)], tally.frames[int(BreachStatus::Warning)],
                tally.frames[int(BreachStatus::Breach)], tally.notSeen);
    if (tally.closest.distance < INFINITY)
        std::printf("Closest approach: %.3f mm to '%s' at %.6f s\n", tally.closest.distance,
                    tally.closest.structure.c_str(), tally.closestTime);
    return ExitSuccess;
}
} // namespace

int runBreach(const std::vector<std::string>& arguments)
{
    const CommandLine line(arguments,
                           { { "tool", "calibration", "registration", "structure", "needle-length", "margin", "out" },
                             {},
                             1,
                             1,
                             { "structure" } });
    std::string error = line.error();
    std::optional<BreachOptions> options = error.empty() ? parseOptions(line, &error) : std::nullopt;
    if (options &&
        !refuseOwnInput(options->out, { options->recording, options->calibration, options->registration }, &error))
        for (const std::string& structure : options->structures)
            if (refuseOwnInput(options->out, { structure }, &error))
                break;
    if (!error.empty())
    {
        std::fprintf(stderr, "kelvaros-nav breach: %s\n", error.c_str());
        return ExitUsage;
    }
    const auto inputs = readInputs(*options, &error);
    if (!inputs)
    {
        std::fprintf(stderr, "kelvaros-nav breach: %s\n", error.c_str());
        return ExitBadInput;
    }
    return writeRows(*inputs, *options);
}

} // namespace Kelvaros::Nav
