#include "session/WorkspaceReading.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

#include "core/FileSystem.h"
#include "lib/numerics/Pose.h"

namespace Kelvaros
{

namespace
{
using Provenance = InstrumentCalibrationDataComponent::Provenance;

/// The size of the file a data entry opens; 0 for a stream or phantom, or a file that is not there (which loading
/// reports by itself).
long long dataFileBytes(const Properties& node)
{
    const Properties* source = node.subProperties("source");
    if (!source)
        return 0;
    const std::string kind = source->paramOr<std::string>("kind", "");
    if (kind != "volume" && kind != "mesh" && kind != "recording")
        return 0;
    return std::max(0LL, FileSystem::fileSize(source->paramOr<std::string>("path", "")));
}

std::string gibibytes(long long bytes)
{
    return fmt::format("{:.1f} GiB", double(bytes) / double(1LL << 30));
}

std::string named(const std::string& name)
{
    return name.empty() ? std::string("The workspace") : "The workspace '" + name + "'";
}

bool isFinite(double value)
{
    return std::isfinite(value);
}
} // namespace

std::string WorkspaceReading::whyTooLarge(const Properties& workspace, const std::string& name)
{
    const auto data = workspace.subPropertiesAll("data");
    const auto algorithms = workspace.subPropertiesAll("algorithm");
    if (data.size() > size_t(maxEntries) || algorithms.size() > size_t(maxEntries))
        return fmt::format("{} holds {} data objects and {} algorithms, more than the {} of each a workspace may "
                           "hold; nothing was loaded.",
                           named(name), data.size(), algorithms.size(), maxEntries);
    long long bytes = 0;
    for (const Properties* node : data)
        bytes += dataFileBytes(*node);
    if (bytes > maxDataBytes)
        return fmt::format("{} names data files of {} together, more than the {} a workspace may load; nothing was "
                           "loaded.",
                           named(name), gibibytes(bytes), gibibytes(maxDataBytes));
    return {};
}

bool WorkspaceReading::isRigidPlacement(const Eigen::Matrix4d& matrix, bool mirrorAllowed)
{
    if (!matrix.allFinite() || matrix.col(3).head<3>().cwiseAbs().maxCoeff() > maxTranslationMm)
        return false;
    // Mirroring one axis turns a left-handed placement into a rotation.
    const Eigen::Matrix4d mirrored = matrix * Eigen::Vector4d(-1.0, 1.0, 1.0, 1.0).asDiagonal();
    return Pose::isRigid(matrix, rotationTolerance) || (mirrorAllowed && Pose::isRigid(mirrored, rotationTolerance));
}

std::optional<Eigen::Matrix4d> WorkspaceReading::placement(const Properties& node, const std::string& what,
                                                           const std::string& consequence, bool mirrorAllowed,
                                                           const WorkspaceProblems& problems)
{
    return problems.read<Eigen::Matrix4d>(node, "matrix", what, consequence,
                                          [mirrorAllowed](const Eigen::Matrix4d& matrix)
                                          { return isRigidPlacement(matrix, mirrorAllowed); });
}

std::optional<InstrumentCalibrationDataComponent::Entry> WorkspaceReading::calibration(
  const Properties& node, const std::string& what, const WorkspaceProblems& problems)
{
    const std::string dropped = "it was dropped and the instrument is uncalibrated";
    const auto matrix = placement(node, what, dropped, false, problems);
    if (!matrix)
    {
        if (!node.hasParam("matrix"))
            problems.add(what + " has no matrix; " + dropped);
        return std::nullopt;
    }
    InstrumentCalibrationDataComponent::Entry entry;
    entry.calibration.matrix = *matrix;
    entry.calibration.value =
      problems.read<double>(node, "value", what + "'s figure of merit", "it was set to 0", isFinite).value_or(0.0);
    if (const Properties* saved = node.subProperties("provenance"))
        readProvenance(*saved, what, entry.provenance.emplace(), problems);
    return entry;
}

void WorkspaceReading::readProvenance(const Properties& saved, const std::string& what, Provenance& provenance,
                                      const WorkspaceProblems& problems)
{
    const std::string lost = "that part of how it was obtained was dropped";
    const auto read = [&](const char* key, auto& field)
    {
        using Field = std::decay_t<decltype(field)>;
        field = problems.read<Field>(saved, key, what + "'s " + key, lost).value_or(Field());
    };
    read("dateTime", provenance.dateTime);
    read("method", provenance.method);
    read("poseCount", provenance.poseCount);
    read("angularRangeDegrees", provenance.angularRangeDegrees);
    read("residualRmsMm", provenance.residualRmsMm);
    read("residualMaxMm", provenance.residualMaxMm);
    read("predictedTipErrorMm", provenance.predictedTipErrorMm);
    read("predictedAxisErrorDegrees", provenance.predictedAxisErrorDegrees);
    read("axisTiltRmsDegrees", provenance.axisTiltRmsDegrees);
    read("axisSpinDegrees", provenance.axisSpinDegrees);
}

} // namespace Kelvaros
