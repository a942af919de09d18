#pragma once

#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "imageio/VolumeIO.h"

namespace Kelvaros
{

class Progress;
class VolumeTexture;

/// Reads volume files on worker threads, one each, so that the window stays responsive while large volumes load.
///
/// A worker reads, then uploads the volume's texture in a GL context of its own that shares with the views' (so
/// that their first drawing need not): the finished volume is handed over whole to the main thread, where `done` adds
/// it (or tells why it failed). A load that is canceled calls `canceled` instead, if given; one still running when
/// the loader goes calls neither.
/// Destroying the loader cancels the loads and waits for their workers, which stop at the reader's next step.
/// Main thread only, apart from the reader, which runs on the workers.
class VolumeLoader : public QObject
{
    Q_OBJECT

public:
    /// Reads one file, reporting to (and stopping on) the progress; runs on a worker thread.
    using Reader = std::function<VolumeIO::LoadResult(const std::string& path, Progress& progress)>;
    using Done = std::function<void(const std::string& path, VolumeIO::LoadResult loaded)>;
    using Canceled = std::function<void(const std::string& path)>;

    explicit VolumeLoader(Reader reader, QObject* parent = nullptr);
    ~VolumeLoader() override;

    /// Replaces the reader for the loads started from now on.
    void setReader(Reader reader) { m_reader = std::move(reader); }
    void load(const std::string& path, Done done, Canceled canceled = {});
    void cancelAll();

    /// A running load as the status bar shows it.
    struct Status
    {
        std::string path;
        double percent = 0.0;
    };
    [[nodiscard]] std::vector<Status> running() const;

Q_SIGNALS:
    /// A load started or ended.
    void loadsChanged();

private:
    struct Job;
    void finish(Job* job, const std::shared_ptr<VolumeIO::LoadResult>& loaded,
                const std::shared_ptr<VolumeTexture>& texture);

    Reader m_reader;
    std::list<std::unique_ptr<Job>> m_jobs;
};

} // namespace Kelvaros
