#include "Workspace.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <type_traits>

#include <fmt/format.h>

#include "core/Log.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "lib/Algorithm.h"
#include "lib/AlgorithmController.h"
#include "lib/Data.h"
#include "lib/RegistrationHistoryComponent.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/StreamAlgorithmBase.h"
#include "stream/TrackingStream.h"

#include "DataSources.h"

namespace Kelvaros
{

namespace
{
const int kVersion = 1;

using CalibrationEntry = InstrumentCalibrationDataComponent::Entry;
using Provenance = InstrumentCalibrationDataComponent::Provenance;

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

/// Collects what a workspace held but could not be read, each named with what was dropped, so that loading goes on
/// with the rest and the user learns exactly what is missing.
class Problems
{
public:
    explicit Problems(std::vector<std::string>& list) : m_list(list) {}

    /// A key that is absent (files written before it existed) gives the fallback without a word; one whose text
    /// does not convert, or converts to a value `valid` refuses, is noted as "WHAT ('TEXT') could not be read;
    /// CONSEQUENCE".
    template<typename T, typename Valid>
    std::optional<T> read(const Properties& node, const std::string& key, const std::string& what,
                          const std::string& consequence, Valid valid) const
    {
        if (!node.hasParam(key))
            return std::nullopt;
        T value{};
        if (node.param(key, value) && valid(value))
            return value;
        m_list.push_back(
          fmt::format("{} ('{}') could not be read; {}", what, shortened(node.paramText(key)), consequence));
        return std::nullopt;
    }

    template<typename T>
    std::optional<T> read(const Properties& node, const std::string& key, const std::string& what,
                          const std::string& consequence) const
    {
        return read<T>(node, key, what, consequence, [](const T&) { return true; });
    }

    void add(std::string problem) const { m_list.push_back(std::move(problem)); }

private:
    /// A hostile file must not make the message grow without bound.
    static std::string shortened(const std::string& text)
    {
        constexpr size_t kMaxQuoted = 80;
        return text.size() <= kMaxQuoted ? text : text.substr(0, kMaxQuoted) + "…";
    }

    std::vector<std::string>& m_list;
};

/// A matrix that places data in the world: finite, with the last row (0 0 0 1). A NaN or a projective row would
/// put everything drawn with it nowhere, or somewhere wrong, without a word.
bool isPlacement(const Eigen::Matrix4d& matrix)
{
    return matrix.allFinite() && matrix.row(3) == Eigen::RowVector4d(0.0, 0.0, 0.0, 1.0);
}

bool isFinite(double value)
{
    return std::isfinite(value);
}

/// Reads what saveEntry wrote; files written before calibrations carried provenance load without it. Empty when the
/// matrix cannot be read: an instrument is better left uncalibrated, and said so, than calibrated with identity.
std::optional<CalibrationEntry> loadEntry(const Properties& node, const std::string& what, const Problems& problems)
{
    const auto matrix = problems.read<Eigen::Matrix4d>(
      node, "matrix", what, "it was dropped and the instrument is uncalibrated", isPlacement);
    if (!matrix)
    {
        if (!node.hasParam("matrix"))
            problems.add(what + " has no matrix; it was dropped and the instrument is uncalibrated");
        return std::nullopt;
    }
    CalibrationEntry entry;
    entry.calibration.matrix = *matrix;
    entry.calibration.value =
      problems.read<double>(node, "value", what + "'s figure of merit", "it was set to 0", isFinite).value_or(0.0);
    const Properties* saved = node.subProperties("provenance");
    if (!saved)
        return entry;
    Provenance& provenance = entry.provenance.emplace();
    const std::string lost = "that part of how it was obtained was dropped";
    const auto readText = [&](const char* key, std::string& field)
    { field = problems.read<std::string>(*saved, key, what + "'s " + key, lost).value_or(std::string()); };
    const auto readOptional = [&](const char* key, auto& field)
    {
        using Field = std::decay_t<decltype(field)>;
        field = problems.read<Field>(*saved, key, what + "'s " + key, lost).value_or(Field());
    };
    readText("dateTime", provenance.dateTime);
    readText("method", provenance.method);
    readOptional("poseCount", provenance.poseCount);
    readOptional("angularRangeDegrees", provenance.angularRangeDegrees);
    readOptional("residualRmsMm", provenance.residualRmsMm);
    readOptional("residualMaxMm", provenance.residualMaxMm);
    readOptional("predictedTipErrorMm", provenance.predictedTipErrorMm);
    readOptional("predictedAxisErrorDegrees", provenance.predictedAxisErrorDegrees);
    readOptional("axisTiltRmsDegrees", provenance.axisTiltRmsDegrees);
    readOptional("axisSpinDegrees", provenance.axisSpinDegrees);
    return entry;
}

/// What every saved data object carries besides its source: name, registration, calibrations, running state.
void saveState(const Data& data, Properties& node)
{
    node.setParam("name", data.name());
    node.setParam("matrix", data.matrix());
    RegistrationHistoryComponent::saveTo(data, node);
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

void loadCalibrations(const Properties& list, Data& data, const Problems& problems)
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
        if (const auto current = loadEntry(*instrument, "the " + of, problems))
            calibrations.setCalibration(id, current->calibration, current->provenance);
        const Properties* previous = instrument->subProperties("previous");
        calibrations.setPrevious(id, previous ? loadEntry(*previous, "the previous " + of, problems) : std::nullopt);
    }
}

void loadState(const Properties& node, Data& data, const Problems& problems)
{
    data.setName(node.paramOr<std::string>("name", data.name()));
    const auto matrix =
      problems.read<Eigen::Matrix4d>(node, "matrix", fmt::format("the registration of '{}'", data.name()),
                                     "it was dropped and the data are placed unregistered (identity)", isPlacement);
    data.setMatrix(matrix.value_or(Eigen::Matrix4d::Identity()));
    for (std::string& problem : RegistrationHistoryComponent::loadInto(node, data))
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
    std::vector<const Algorithm*> withPanel;
    for (const DefaultControllerDecorator* decorator : m_app.controllers())
        withPanel.push_back(decorator->controller()->algorithm());
    for (const Algorithm* algorithm : m_app.algorithms())
    {
        Properties* node = workspace.addSubProperties("algorithm");
        node->setParam("id", algorithm->factoryInfo().id);
        node->setParam("panel", std::find(withPanel.begin(), withPanel.end(), algorithm) != withPanel.end());
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
        m_app.removeData(data);
}

std::string Workspace::load(const Properties& workspace)
{
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
            loadState(*node, *data, Problems(problems));
    }
    for (const Properties* node : workspace.subPropertiesAll("algorithm"))
        loadAlgorithm(*node, problems);
    if (problems.empty())
        return {};
    std::string message =
      "Not everything in the workspace could be loaded: " + fmt::format("{}", fmt::join(problems, "; ")) +
      ". The rest was loaded.";
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
            loadState(*output, *data, Problems(problems));
    }
    if (node.paramOr("panel", false))
        m_app.openController(algorithm);
}

std::string Workspace::loadFromFile(const std::string& path)
{
    const auto workspace = Properties::loadFromXmlFile(path);
    if (!workspace)
        return "The workspace '" + path + "' cannot be read (see the log).";
    return load(*workspace);
}

} // namespace Kelvaros
