#include "visualization/BreachWarningAlgorithm.h"

#include <algorithm>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

#include "registration/StreamAndVolume.h"
#include "visualization/BreachReadingBoard.h"
#include "visualization/ToolPose.h"

namespace Kelvaros
{
namespace
{
/// The quality below which a sample gives no pose: the tool visualization's default.
constexpr double kQualityThreshold = 0.2;
} // namespace

bool BreachWarningAlgorithm::createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    const auto [stream, volume] = streamAndVolume(data);
    if (!stream)
        return false;
    if (algorithm)
        *algorithm = std::make_unique<BreachWarningAlgorithm>(*stream, *volume);
    return true;
}

BreachWarningAlgorithm::BreachWarningAlgorithm(TrackingStream& stream, SharedImageSet& volume)
  : m_stream(stream), m_volume(volume)
{
    tool.setValue(stream.mainInstrumentId());
    rebuildStructures();
    signalParametersChanged.connect(this, [this](ParameterBase*) { applyParameters(); });
    m_stream.signalStreamData.connect(this, &BreachWarningAlgorithm::onStreamData);
}

BreachWarningAlgorithm::~BreachWarningAlgorithm()
{
    // Once this returns the board never asks for a reading again.
    BreachReadingBoard::instance().withdraw(this);
    // The stream listener uses the members below; once this returns it is never entered again.
    disconnectAll();
}

void BreachWarningAlgorithm::configure(const Properties* properties)
{
    if (!properties)
        return;
    Algorithm::configure(properties);
    const Properties* structures = properties->subProperties("structures");
    if (!structures)
        return;
    clearStructures();
    for (const Properties* structure : structures->subPropertiesAll("structure"))
    {
        std::string reason;
        if (!addStructure(structure->paramOr<std::string>("path", ""), &reason))
            Log::log(Log::Warning, "BreachWarningAlgorithm", reason);
    }
}

void BreachWarningAlgorithm::configuration(Properties* properties) const
{
    if (!properties)
        return;
    Algorithm::configuration(properties);
    Properties* structures = properties->addSubProperties("structures");
    for (const std::string& path : m_paths)
        structures->addSubProperties("structure")->setParam("path", path);
}

bool BreachWarningAlgorithm::addStructure(const std::string& path, std::string* reason)
{
    std::optional<std::vector<StructureFiles::Structure>> read = StructureFiles::read(path, reason);
    if (!read)
        return false;
    m_paths.push_back(path);
    m_structureList.insert(m_structureList.end(), read->begin(), read->end());
    rebuildStructures();
    return true;
}

void BreachWarningAlgorithm::clearStructures()
{
    m_paths.clear();
    m_structureList.clear();
    rebuildStructures();
}

std::vector<std::string> BreachWarningAlgorithm::structurePaths() const
{
    return m_paths;
}

std::vector<std::string> BreachWarningAlgorithm::structureNames() const
{
    std::vector<std::string> names;
    for (const StructureFiles::Structure& structure : m_structureList)
        names.push_back(structure.name);
    return names;
}

std::vector<std::shared_ptr<const Mesh>> BreachWarningAlgorithm::structureMeshes() const
{
    std::vector<std::shared_ptr<const Mesh>> meshes;
    for (const StructureFiles::Structure& structure : m_structureList)
        meshes.push_back(structure.mesh);
    return meshes;
}

void BreachWarningAlgorithm::rebuildStructures()
{
    // Indexing a fine mesh takes tens of milliseconds: only a change of the structures does it.
    auto structures = std::make_shared<CriticalStructures>();
    for (const StructureFiles::Structure& structure : m_structureList)
    {
        std::string reason;
        if (!structures->add(structure.name, *structure.mesh, &reason))
            Log::log(Log::Warning, "BreachWarningAlgorithm", reason);
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_structures = std::move(structures);
    }
    applyParameters();
}

void BreachWarningAlgorithm::applyParameters()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_structures->setMargin(margin.value()))
            Log::logf(Log::Warning, "BreachWarningAlgorithm", "A margin of {} mm is not used", margin.value());
        m_toolId = tool.value();
        m_needleLength = needleLength.value();
        m_distance.reset();
    }
    // Outside the mutex: the board calls reading() under its own, so taking them the other way round could deadlock.
    BreachReadingBoard::instance().publish(this, &m_stream, tool.value(), [this] { return reading(); });
}

void BreachWarningAlgorithm::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    const auto* tracking = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!tracking)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    ToolPoseInputs inputs;
    inputs.targetId = m_toolId;
    inputs.targetCalibration = InstrumentCalibrationDataComponent::matrixOf(m_stream, m_toolId);
    inputs.registration = m_stream.matrix();
    const ToolPose pose = toolPoseOf(tracking->instrumentList(), inputs);
    m_lastSample = std::chrono::steady_clock::now();
    m_sampled = true;
    m_calibration = calibrationKnowledge(m_stream, m_toolId);
    m_toolMatrix.reset();
    m_distance.reset();
    const auto& instruments = tracking->instrumentList();
    const bool tracked = std::any_of(instruments.begin(), instruments.end(),
                                     [this](const TrackingInstrument& i) { return i.ID() == m_toolId && i.tracked; });
    if (!tracked || !(pose.quality > kQualityThreshold) || !pose.toolMatrix.allFinite())
        return;
    m_toolMatrix = pose.toolMatrix;
    // The structures are in image coordinates: the tool comes there through the volume's placement of now.
    const Eigen::Matrix4d toolInImage = m_volume.matrix().inverse() * pose.toolMatrix;
    const Eigen::Vector3d tip = toolInImage.block<3, 1>(0, 3);
    m_tipOnly = m_needleLength > 0.0 && !m_calibration.axis;
    // The calibrated shaft runs along +z from the tip towards the grip.
    m_distance = m_needleLength > 0.0 && m_calibration.axis
                   ? m_structures->needle(tip, toolInImage.block<3, 1>(0, 2), m_needleLength)
                   : m_structures->tip(tip);
}

BreachWarningAlgorithm::Reading BreachWarningAlgorithm::reading() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    ToolSnapshot snapshot;
    snapshot.toolMatrix = m_toolMatrix;
    if (m_sampled)
        snapshot.sinceLastSampleUs =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - m_lastSample)
            .count();
    snapshot.calibration = m_calibration;
    Reading result;
    result.judgement = judgeFigures(snapshot, planRegion(&m_volume, {}));
    if (result.judgement.state == FigureState::Valid)
        result.distance = m_distance;
    result.tipOnly = m_tipOnly;
    return result;
}

} // namespace Kelvaros
