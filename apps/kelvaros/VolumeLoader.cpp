#include "VolumeLoader.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include "lib/Progress.h"

namespace Kelvaros
{

namespace
{
/// Written by the worker, read by the status bar's timer.
class SharedProgress : public Progress
{
public:
    void setProgress(double percent, const std::string& /*text*/) override { m_percent = percent; }
    [[nodiscard]] bool wasCanceled() const override { return m_canceled; }
    void cancel() { m_canceled = true; }
    [[nodiscard]] double percent() const { return m_percent; }

private:
    std::atomic<double> m_percent{ 0.0 };
    std::atomic<bool> m_canceled{ false };
};
} // namespace

struct VolumeLoader::Job
{
    std::string path;
    VolumeLoader::Done done;
    SharedProgress progress;
    std::thread worker;
};

VolumeLoader::VolumeLoader(Reader reader, QObject* parent) : QObject(parent), m_reader(std::move(reader)) {}

VolumeLoader::~VolumeLoader()
{
    cancelAll();
    // A result queued by a worker dies with this object's pending events; the workers must be gone first, as they
    // use their job.
    for (const auto& job : m_jobs)
        job->worker.join();
}

void VolumeLoader::load(const std::string& path, Done done)
{
    Job* job = m_jobs.emplace_back(std::make_unique<Job>()).get();
    job->path = path;
    job->done = std::move(done);
    job->worker = std::thread(
      [this, job, reader = m_reader]
      {
          auto loaded = std::make_shared<VolumeIO::LoadResult>(reader(job->path, job->progress));
          QMetaObject::invokeMethod(
            this, [this, job, loaded] { finish(job, loaded); }, Qt::QueuedConnection);
      });
    Q_EMIT loadsChanged();
}

void VolumeLoader::finish(Job* job, const std::shared_ptr<VolumeIO::LoadResult>& loaded)
{
    const auto found =
      std::find_if(m_jobs.begin(), m_jobs.end(), [job](const auto& owned) { return owned.get() == job; });
    if (found == m_jobs.end())
        return;
    std::unique_ptr<Job> finished = std::move(*found);
    m_jobs.erase(found);
    finished->worker.join();
    if (!finished->progress.wasCanceled())
        finished->done(finished->path, std::move(*loaded));
    Q_EMIT loadsChanged();
}

void VolumeLoader::cancelAll()
{
    for (const auto& job : m_jobs)
        job->progress.cancel();
}

std::vector<VolumeLoader::Status> VolumeLoader::running() const
{
    std::vector<Status> result;
    for (const auto& job : m_jobs)
        if (!job->progress.wasCanceled())
            result.push_back({ job->path, job->progress.percent() });
    return result;
}

} // namespace Kelvaros
