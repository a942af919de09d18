#include "session/Workspace.h"

#include <algorithm>
#include <map>
#include <optional>

#include <fmt/format.h>

#include "core/Log.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/InteractiveObject.h"
#include "lib/Algorithm.h"
#include "lib/AlgorithmController.h"
#include "lib/Data.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/RegistrationHistoryComponent.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/StreamAlgorithmBase.h"
#include "stream/TrackingStream.h"

#include "session/DataSources.h"
#include "session/WorkspaceAnnotations.h"
#include "session/WorkspaceReading.h"

namespace Kelvaros
{

namespace
{
const int kVersion = 1;

using CalibrationEntry = InstrumentCalibrationDataComponent::Entry;
using Provenance = InstrumentCalibrationDataComponent::Provenance;
const size_t kMaxProblemsListed = 20;

/// An instrument calibration with how it was obtained; every provenance field is written, empty ones as empty text.
void saveEntry(const CalibrationEntry& entry, Properties& node)
{
    node.setParam("matrix", entry.calibration.matrix);
    node.setParam("value", entry.calibration.value);
    if (!entry.provenance)
        return;
    const Provenance& provenance = *entry.provenance;
    Properties* saved = node.addSubProperties("provenance");
    saved->setParam("dateTime", provenance.dateTime);
    saved->setParam("method", provenance.method);
    saved->setParam("poseCount", provenance.poseCount);
    saved->setParam("angularRangeDegrees", provenance.angularRangeDegrees);
    saved->setParam("residualRmsMm", provenance.residualRmsMm);
    saved->setParam("residualMaxMm", provenance.residualMaxMm);
    saved->setParam("predictedTipErrorMm", provenance.predictedTipErrorMm);
    saved->setParam("predictedAxisErrorDegrees", provenance.predictedAxisErrorDegrees);
    saved->setParam("axisTiltRmsDegrees", provenance.axisTiltRmsDegrees);
    saved->setParam("axisSpinDegrees", provenance.axisSpinDegrees);
}

/// What every saved data object carries besides its source: name, registration, calibrations, running state.
void saveState(const Data& data, Properties& node)
{
    node.setParam("name", data.name());
    node.setParam("matrix", data.matrix());
    RegistrationHistoryComponent::saveTo(data, node);
    ImageDisplayOptionsComponent::saveTo(data, node);
    if (const auto* stream = dynamic_cast<const Stream*>(&data))
        node.setParam("running", stream->state() == Stream::State::Running);
    const auto* calibrations = data.components().get<InstrumentCalibrationDataComponent>();
    if (!calibrations || calibrations->instrumentIds().empty())
        return;
    Properties* list = node.addSubProperties("calibrations");
    for (const std::string& id : calibrations->instrumentIds())
    {
        Properties* instrument = list->addSubProperties("instrument");
        instrument->setParam("id", id);
        saveEntry(*calibrations->entry(id), *instrument);
        if (const auto previous = calibrations->previous(id))
            saveEntry(*previous, *instrument->addSubProperties("previous"));
    }
}

void loadCalibrations(const Properties& list, Data& data, const WorkspaceProblems& problems)
{
    auto& calibrations = data.components().getOrAdd<InstrumentCalibrationDataComponent>();
    for (const Properties* instrument : list.subPropertiesAll("instrument"))
    {
        const std::string id = instrument->paramOr<std::string>("id", "");
        const std::string of = fmt::format("calibration of '{}' on '{}'", id, data.name());
        if (id.empty())
        {
            problems.add(fmt::format("a calibration on '{}' names no instrument; it was dropped", data.name()));
            continue;
        }
        if (const auto current = WorkspaceReading::calibration(*instrument, "the " + of, problems))
            calibrations.setCalibration(id, current->calibration, current->provenance);
        const Properties* previous = instrument->subProperties("previous");
        calibrations.setPrevious(id, previous ? WorkspaceReading::calibration(*previous, "the previous " + of, problems)
                                              : std::nullopt);
    }
}

/// A volume's matrix carries the orientation of its voxel axes, which its file may give mirrored.
bool mayBeMirrored(const Data& data)
{
    return data.kind() == Data::Kind::Volume || data.kind() == Data::Kind::Image;
}

void loadState(const Properties& node, Data& data, const WorkspaceProblems& problems)
{
    data.setName(node.paramOr<std::string>("name", data.name()));
    // A refused registration leaves the placement the data were opened with (a volume's from its file), so that
    // saving again writes that, not what was refused.
    if (const auto matrix = WorkspaceReading::placement(
          node, fmt::format("the registration of '{}'", data.name()),
          "it was dropped and the data are placed as they were opened, unregistered", mayBeMirrored(data), problems))
        data.setMatrix(*matrix);
    for (std::string& problem : RegistrationHistoryComponent::loadInto(node, data))
        problems.add(std::move(problem));
    for (std::string& problem : ImageDisplayOptionsComponent::loadInto(node, data))
        problems.add(std::move(problem));
    if (const Properties* list = node.subProperties("calibrations"))
        loadCalibrations(*list, data, problems);
    auto* stream = dynamic_cast<Stream*>(&data);
    const bool running =
      problems.read<bool>(node, "running", fmt::format("whether '{}' was running", data.name()), "it was left stopped")
        .value_or(false);
    if (stream && running && stream->state() != Stream::State::Running)
        (void)(stream->open() && stream->start());
}

/// The stream a stream-creating algorithm made, or null.
const Data* outputOf(const Algorithm* algorithm)
{
    const auto* creator = dynamic_cast<const StreamAlgorithmBase*>(algorithm);
    return creator ? creator->stream() : nullptr;
}

bool isOutput(const Data* data, const std::vector<Algorithm*>& algorithms)
{
    return std::any_of(algorithms.begin(), algorithms.end(), [data](Algorithm* a) { return outputOf(a) == data; });
}
} // namespace

Workspace::Workspace(GuiApplicationController& app, DataSources& sources) : m_app(app), m_sources(sources) {}

Properties Workspace::save() const
{
    Properties workspace("workspace");
    workspace.setParam("version", kVersion);
    saveData(workspace);
    WorkspaceAnnotations::save(m_app.annotationModel(), workspace);
    saveAlgorithms(workspace);
    return workspace;
}

void Workspace::saveData(Properties& workspace) const
{
    const std::vector<Algorithm*> algorithms = m_app.algorithms();
    const DataList all = m_app.dataList();
    for (Data* data : all.items())
    {
        const Properties* source = m_sources.sourceOf(data);
        if (!source || isOutput(data, algorithms))
            continue;
        Properties* node = workspace.addSubProperties("data");
        saveState(*data, *node);
        node->addSubProperties(*source);
        if (auto* stream = dynamic_cast<Stream*>(data))
            stream->configuration(node->addSubProperties("configuration"));
    }
}

void Workspace::saveAlgorithms(Properties& workspace) const
{
    std::map<const Algorithm*, const AlgorithmController*> panels;
    for (const DefaultControllerDecorator* decorator : m_app.controllers())
        panels[decorator->controller()->algorithm()] = decorator->controller();
    for (const Algorithm* algorithm : m_app.algorithms())
    {
        Properties* node = workspace.addSubProperties("algorithm");
        node->setParam("id", algorithm->factoryInfo().id);
        const auto panel = panels.find(algorithm);
        node->setParam("panel", panel != panels.end());
        if (panel != panels.end())
        {
            Properties state("panelState");
            panel->second->savePanelState(state);
            if (!state.params().empty())
                node->addSubProperties(state);
        }
        for (const Data* input : algorithm->factoryInfo().data.items())
            node->addSubProperties("input")->setParam("name", input->name());
        algorithm->configuration(node->addSubProperties("configuration"));
        if (const Data* output = outputOf(algorithm))
            saveState(*output, *node->addSubProperties("output"));
    }
}

bool Workspace::saveToFile(const std::string& path, std::string* error) const
{
    if (save().saveToXmlFile(path))
        return true;
    *error = "The workspace could not be written to '" + path + "' (see the log).";
    return false;
}

void Workspace::clear()
{
    m_app.closeAll();
    for (Algorithm* algorithm : m_app.algorithms())
        m_app.closeAlgorithm(algorithm);
    const DataList all = m_app.dataList();
    for (Data* data : all.items())
        m_app.removeData(data); // with the annotations planned on it
    AnnotationModel& annotations = m_app.annotationModel();
    for (InteractiveObject* annotation : annotations.getAnnotations())
        annotations.removeAnnotation(annotation);
}

std::string Workspace::load(const Properties& workspace, const std::string& name)
{
    if (std::string tooLarge = WorkspaceReading::whyTooLarge(workspace, name); !tooLarge.empty())
    {
        Log::log(Log::Error, "Workspace", tooLarge);
        return tooLarge;
    }
    clear();
    std::vector<std::string> problems;
    for (const Properties* node : workspace.subPropertiesAll("data"))
    {
        const Properties* source = node->subProperties("source");
        DataSources::Result opened = source ? m_sources.open(*source, node->subProperties("configuration"))
                                            : DataSources::Result{ {}, "a data object without source" };
        if (!opened.ok())
            problems.push_back(opened.error);
        for (Data* data : opened.data)
            loadState(*node, *data, WorkspaceProblems(problems));
    }
    // Before the algorithms: the targeting and navigation panels take their plan when they open.
    WorkspaceAnnotations::load(workspace, m_app, m_app.annotationModel(), problems);
    for (const Properties* node : workspace.subPropertiesAll("algorithm"))
        loadAlgorithm(*node, problems);
    if (problems.empty())
        return {};
    // Every entry may bring its own problems; the message stays readable (and bounded) however many there are.
    const size_t listed = std::min(problems.size(), kMaxProblemsListed);
    std::string message =
      "Not everything in the workspace could be loaded: " +
      fmt::format("{}", fmt::join(problems.begin(), problems.begin() + std::ptrdiff_t(listed), "; "));
    if (listed < problems.size())
        message += fmt::format("; and {} more", problems.size() - listed);
    message += ". The rest was loaded.";
    Log::log(Log::Error, "Workspace", message);
    return message;
}

void Workspace::loadAlgorithm(const Properties& node, std::vector<std::string>& problems)
{
    const std::string id = node.paramOr<std::string>("id", "");
    std::vector<Data*> inputs;
    for (const Properties* input : node.subPropertiesAll("input"))
    {
        Data* data = m_app.findData(input->paramOr<std::string>("name", ""));
        if (!data)
        {
            problems.push_back(
              fmt::format("{} left out, its input '{}' is missing", id, input->paramOr<std::string>("name", "")));
            return;
        }
        inputs.push_back(data);
    }
    Algorithm* algorithm = m_app.createAlgorithm(id, DataList(inputs));
    if (!algorithm)
    {
        problems.push_back(fmt::format("{} could not be created (see the log)", id));
        return;
    }
    algorithm->configure(node.subProperties("configuration"));
    if (const Properties* output = node.subProperties("output"))
    {
        std::vector<Data*> outputs;
        m_app.runAlgorithm(algorithm, &outputs);
        for (Data* data : outputs)
            loadState(*output, *data, WorkspaceProblems(problems));
    }
    if (!node.paramOr("panel", false))
        return;
    DefaultControllerDecorator* panel = m_app.openController(algorithm);
    if (const Properties* state = node.subProperties("panelState"); panel && state)
        panel->controller()->loadPanelState(*state);
}

std::vector<std::string> Workspace::volumeFiles(const Properties& workspace)
{
    std::vector<std::string> files;
    if (!WorkspaceReading::whyTooLarge(workspace, {}).empty())
        return files;
    for (const Properties* node : workspace.subPropertiesAll("data"))
    {
        const Properties* source = node->subProperties("source");
        if (!source || source->paramOr<std::string>("kind", "") != "volume")
            continue;
        const std::string path = source->paramOr<std::string>("path", "");
        if (std::find(files.begin(), files.end(), path) == files.end())
            files.push_back(path);
    }
    return files;
}

std::string Workspace::loadFromFile(const std::string& path)
{
    const auto workspace = Properties::loadFromXmlFile(path);
    if (!workspace)
        return "The workspace '" + path + "' cannot be read (see the log).";
    return load(*workspace, path);
}

} // namespace Kelvaros
