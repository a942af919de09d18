#include "session/DataSources.h"

#include <algorithm>

#include <QFileInfo>

#include "lib/ApplicationController.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshIO.h"
#include "stream/TrackingSequence.h"
#include "stream/igtl/OpenIGTLinkTrackingStream.h"
#include "stream/io/TrackingSequenceFile.h"
#include "stream/sources/PlaybackTrackingStream.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "imageio/PhantomVolume.h"
#include "imageio/VolumeIO.h"
#include "session/MeshData.h"

namespace Kelvaros
{

namespace
{
Properties fileSource(const char* kind, const std::string& path)
{
    Properties source("source");
    source.setParam("kind", std::string(kind));
    source.setParam("path", path);
    return source;
}

DataSources::Result failure(std::string error)
{
    return { {}, std::move(error) };
}

/// A missing file is named before any reader runs, so the user reads one message about it.
std::string missingFile(const char* what, const std::string& path)
{
    return QFileInfo::exists(QString::fromStdString(path))
             ? std::string()
             : std::string("the ") + what + " file '" + path + "' does not exist";
}

std::unique_ptr<TrackingStream> makeStream(const std::string& streamClass)
{
    if (streamClass == "SimulatedTrackingStream")
        return std::make_unique<SimulatedTrackingStream>();
    if (streamClass == "OpenIGTLinkTrackingStream")
        return std::make_unique<OpenIGTLinkTrackingStream>();
    if (streamClass == "PlaybackTrackingStream")
        return std::make_unique<PlaybackTrackingStream>();
    return nullptr;
}

std::string streamClass(const TrackingStream& stream)
{
    if (dynamic_cast<const SimulatedTrackingStream*>(&stream))
        return "SimulatedTrackingStream";
    if (dynamic_cast<const OpenIGTLinkTrackingStream*>(&stream))
        return "OpenIGTLinkTrackingStream";
    return "PlaybackTrackingStream";
}
} // namespace

DataSources::DataSources(ApplicationController& app) : m_app(app)
{
    m_app.signalDataRemoved.connect(this, [this](Data* data) { m_sources.erase(data); });
}

DataSources::~DataSources()
{
    disconnectAll();
}

Data* DataSources::remember(std::unique_ptr<Data> data, Properties source)
{
    Data* added = m_app.addData(std::move(data));
    m_sources[added] = std::move(source);
    return added;
}

DataSources::Result DataSources::openVolume(const std::string& path)
{
    const auto provided = m_provided.find(path);
    if (provided == m_provided.end())
        return addVolume(path, readVolume(path, nullptr));
    VolumeIO::LoadResult loaded = std::move(provided->second);
    m_provided.erase(provided);
    return addVolume(path, std::move(loaded));
}

void DataSources::provideVolume(const std::string& path, VolumeIO::LoadResult loaded)
{
    m_provided[path] = std::move(loaded);
}

VolumeIO::LoadResult DataSources::readVolume(const std::string& path, Progress* progress)
{
    VolumeIO::LoadResult missing;
    if (missing.error = missingFile("volume", path); !missing.error.empty())
        return missing;
    return VolumeIO::load(path, progress);
}

DataSources::Result DataSources::addVolume(const std::string& path, VolumeIO::LoadResult loaded)
{
    if (!loaded.image)
        return failure(loaded.error);
    return { { remember(std::move(loaded.image), fileSource("volume", path)) }, {} };
}

DataSources::Result DataSources::openMesh(const std::string& path)
{
    if (auto missing = missingFile("mesh", path); !missing.empty())
        return failure(missing);
    std::shared_ptr<Mesh> mesh = MeshIO::loadFile(path);
    if (!mesh)
        return failure("the mesh file '" + path + "' cannot be read (see the log)");
    const std::string name = QFileInfo(QString::fromStdString(path)).completeBaseName().toStdString();
    return { { remember(std::make_unique<MeshData>(name, std::move(mesh)), fileSource("mesh", path)) }, {} };
}

DataSources::Result DataSources::openRecording(const std::string& path)
{
    return openRecordingInstrument(path, -1);
}

DataSources::Result DataSources::openRecordingInstrument(const std::string& path, int instrument)
{
    if (auto missing = missingFile("recording", path); !missing.empty())
        return failure(missing);
    const auto samples = TrackingSequenceFile::read(path);
    if (!samples)
        return failure("the recording '" + path + "' cannot be read (see the log)");
    auto sequences = TrackingSequenceFile::toSequences(*samples);
    Result result;
    for (int i = 0; i < int(sequences.size()); ++i)
    {
        if (instrument >= 0 && i != instrument)
            continue;
        Properties source = fileSource("recording", path);
        source.setParam("instrument", i);
        result.data.push_back(remember(std::move(sequences[size_t(i)]), std::move(source)));
    }
    if (result.data.empty())
        result.error = "the recording '" + path + "' holds no such instrument";
    return result;
}

DataSources::Result DataSources::addPhantom()
{
    auto phantom = PhantomVolume::create(SimulatedTrackingStream::groundTruth());
    if (!phantom)
        return failure("the phantom could not be made (see the log)");
    Properties source("source");
    source.setParam("kind", std::string("phantom"));
    return { { remember(std::move(phantom), std::move(source)) }, {} };
}

DataSources::Result DataSources::startSimulator(const std::string& scenario)
{
    if (!TrackingSimulator::scenarioFromName(scenario))
        return failure("unknown simulator scenario '" + scenario + "'");
    // Named for the tracker, not the scenario: its panel switches the scenario of the same stream.
    std::string name = "Simulated Tracker";
    const std::vector<Data*> all = m_app.dataList().items();
    const auto taken = [&all](const std::string& candidate)
    { return std::any_of(all.begin(), all.end(), [&](const Data* data) { return data->name() == candidate; }); };
    for (int number = 2; taken(name); ++number)
        name = "Simulated Tracker " + std::to_string(number);
    auto stream = std::make_unique<SimulatedTrackingStream>(name);
    stream->scenario = scenario;
    return startStream(std::move(stream));
}

DataSources::Result DataSources::connectOpenIGTLink(const std::string& host, int port)
{
    auto stream = std::make_unique<OpenIGTLinkTrackingStream>("OpenIGTLink " + host + ":" + std::to_string(port));
    stream->host = host;
    stream->port = port;
    return startStream(std::move(stream));
}

DataSources::Result DataSources::playRecording(const std::string& path)
{
    if (auto missing = missingFile("recording", path); !missing.empty())
        return failure(missing);
    auto stream = std::make_unique<PlaybackTrackingStream>(
      "Playback of " + QFileInfo(QString::fromStdString(path)).fileName().toStdString());
    stream->path = path;
    stream->loop = true;
    return startStream(std::move(stream));
}

DataSources::Result DataSources::startStream(std::unique_ptr<TrackingStream> stream)
{
    Properties source("source");
    source.setParam("kind", std::string("stream"));
    source.setParam("class", streamClass(*stream));
    auto* added = static_cast<TrackingStream*>(remember(std::move(stream), std::move(source)));
    if (!added->open() || !added->start())
        return { { added }, "'" + added->name() + "' did not start (see the log)" };
    return { { added }, {} };
}

DataSources::Result DataSources::open(const Properties& source, const Properties* configuration)
{
    const std::string kind = source.paramOr<std::string>("kind", "");
    const std::string path = source.paramOr<std::string>("path", "");
    if (kind == "volume")
        return openVolume(path);
    if (kind == "mesh")
        return openMesh(path);
    if (kind == "recording")
        return openRecordingInstrument(path, source.paramOr("instrument", 0));
    if (kind == "phantom")
        return addPhantom();
    if (kind != "stream")
        return failure("unknown data source '" + kind + "'");
    auto stream = makeStream(source.paramOr<std::string>("class", ""));
    if (!stream)
        return failure("unknown stream class '" + source.paramOr<std::string>("class", "") + "'");
    stream->configure(configuration);
    return { { remember(std::move(stream), source) }, {} };
}

const Properties* DataSources::sourceOf(const Data* data) const
{
    const auto found = m_sources.find(data);
    return found == m_sources.end() ? nullptr : &found->second;
}

} // namespace Kelvaros
