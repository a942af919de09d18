#include "VolumeLoader.h"

#include <algorithm>
#include <atomic>
#include <thread>

#include <QOffscreenSurface>
#include <QOpenGLContext>

#include "gui/view/VolumeTexture.h"
#include "lib/Progress.h"
#include "lib/SharedImageSet.h"

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
    VolumeLoader::Canceled canceled;
    SharedProgress progress;
    /// Where the worker's own GL context draws nothing but makes itself current; made on the main thread, as the
    /// platform requires; null without shared contexts.
    std::unique_ptr<QOffscreenSurface> surface;
    std::thread worker;
};

namespace
{
/// The volume's texture, uploaded on the worker in a context that shares with the views', so that the views'
/// first drawing does not upload several hundred megabytes on the main thread; null when that cannot be done (the
/// views then upload it themselves).
std::shared_ptr<VolumeTexture> uploadOnWorker(QOffscreenSurface* surface, const SharedImageSet& volume)
{
    QOpenGLContext* shared = QOpenGLContext::globalShareContext();
    if (!surface || !shared)
        return nullptr;
    QOpenGLContext context;
    context.setShareContext(shared);
    context.setFormat(shared->format());
    if (!context.create() || !context.makeCurrent(surface))
        return nullptr;
    std::shared_ptr<VolumeTexture> texture = VolumeTexture::uploadHere(volume);
    context.doneCurrent();
    return texture;
}
} // namespace

VolumeLoader::VolumeLoader(Reader reader, QObject* parent) : QObject(parent), m_reader(std::move(reader)) {}

VolumeLoader::~VolumeLoader()
{
    cancelAll();
    // A result queued by a worker dies with this object's pending events; the workers must be gone first, as they
    // use their job.
    for (const auto& job : m_jobs)
        job->worker.join();
}

void VolumeLoader::load(const std::string& path, Done done, Canceled canceled)
{
    Job* job = m_jobs.emplace_back(std::make_unique<Job>()).get();
    job->path = path;
    job->done = std::move(done);
    job->canceled = std::move(canceled);
    if (QOpenGLContext* shared = QOpenGLContext::globalShareContext())
    {
        job->surface = std::make_unique<QOffscreenSurface>();
        job->surface->setFormat(shared->format());
        job->surface->create();
    }
    job->worker = std::thread(
      [this, job, reader = m_reader]
      {
          auto loaded = std::make_shared<VolumeIO::LoadResult>(reader(job->path, job->progress));
          std::shared_ptr<VolumeTexture> texture;
          if (loaded->image && !job->progress.wasCanceled())
              texture = uploadOnWorker(job->surface.get(), *loaded->image);
          // The texture goes to the main thread whatever happens: it may only be released there.
          QMetaObject::invokeMethod(
            this, [this, job, loaded, texture] { finish(job, loaded, texture); }, Qt::QueuedConnection);
      });
    Q_EMIT loadsChanged();
}

void VolumeLoader::finish(Job* job, const std::shared_ptr<VolumeIO::LoadResult>& loaded,
                          const std::shared_ptr<VolumeTexture>& texture)
{
    const auto found =
      std::find_if(m_jobs.begin(), m_jobs.end(), [job](const auto& owned) { return owned.get() == job; });
    if (found == m_jobs.end())
        return;
    std::unique_ptr<Job> finished = std::move(*found);
    m_jobs.erase(found);
    finished->worker.join();
    if (!finished->progress.wasCanceled())
    {
        if (loaded->image)
            VolumeTexture::adopt(*loaded->image, texture);
        finished->done(finished->path, std::move(*loaded));
    }
    else if (finished->canceled)
        finished->canceled(finished->path);
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
