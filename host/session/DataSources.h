#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Export.h"
#include "core/Properties.h"
#include "core/Signal.h"

#include "imageio/VolumeIO.h"

namespace Kelvaros
{

class ApplicationController;
class Data;
class Progress;
class TrackingStream;

/// Opens what the user works with (volumes, meshes, recordings, trackers) into the application's data and
/// remembers where each object came from, so that a workspace can name its source and open it again.
///
/// A source is a small property tree: "kind" (volume, phantom, mesh, recording, stream) with "path" for files,
/// "instrument" for the sequence of a recording, and "class" for streams, whose settings are the stream's own
/// configuration. Main thread only.
class KELVAROS_API DataSources : public SignalReceiver
{
public:
    /// What an opening produced: the new data (owned by the application), or the reason nothing was opened.
    struct Result
    {
        std::vector<Data*> data;
        std::string error;
        [[nodiscard]] bool ok() const { return error.empty(); }
    };

    /// The application is not owned and outlives this object.
    explicit DataSources(ApplicationController& app);
    ~DataSources() override;

    /// Reads and adds a volume at once; readVolume and addVolume split it for a load on another thread.
    Result openVolume(const std::string& path);
    /// Reads a volume file into memory without touching the application: any thread.
    [[nodiscard]] static VolumeIO::LoadResult readVolume(const std::string& path, Progress* progress);
    /// Adds what readVolume produced, or says why it failed.
    Result addVolume(const std::string& path, VolumeIO::LoadResult loaded);
    /// A volume file read ahead on another thread: the next openVolume of `path` adds it rather than reading the
    /// file again. forgetProvided drops those not taken.
    void provideVolume(const std::string& path, VolumeIO::LoadResult loaded);
    void forgetProvided() { m_provided.clear(); }
    Result openMesh(const std::string& path);
    /// One tracking sequence per instrument of a recording file.
    Result openRecording(const std::string& path);
    /// The simulated tracker's phantom, in phantom coordinates (not yet registered).
    Result addPhantom();
    /// Streams are opened and started; the error says why one did not.
    Result startSimulator(const std::string& scenario);
    Result connectOpenIGTLink(const std::string& host, int port);
    Result playRecording(const std::string& path);

    /// Opens a source described as sourceOf gives it. Streams are created with `configuration` applied and left
    /// closed; the caller decides whether they run.
    Result open(const Properties& source, const Properties* configuration);
    /// The source of a data object, or null for data that no source made (an algorithm's output).
    [[nodiscard]] const Properties* sourceOf(const Data* data) const;

private:
    Data* remember(std::unique_ptr<Data> data, Properties source);
    Result openRecordingInstrument(const std::string& path, int instrument);
    Result startStream(std::unique_ptr<TrackingStream> stream);

    ApplicationController& m_app;
    std::map<const Data*, Properties> m_sources;
    std::map<std::string, VolumeIO::LoadResult> m_provided;
};

} // namespace Kelvaros
