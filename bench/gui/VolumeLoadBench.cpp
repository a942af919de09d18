// How the workbench stays responsive while it opens a 512 x 512 x 300 CT of 16-bit values (gzip NRRD, written here
// first): File > Open Volume's path reads it on a worker while a 1 ms timer on the main thread notes the longest
// gap between its ticks, from the opening until a second after the volume joined the data list (its first drawing
// included). Needs an X display (scripts/with-display).

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>

#include <QApplication>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTimer>

#include "core/Log.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/view/InteractiveView.h"
#include "lib/SharedImageSet.h"

#include "MainWindow.h"
#include "imageio/VolumeIO.h"

using namespace Kelvaros;

namespace
{
constexpr int kSide = 512;
constexpr int kSlices = 300;
constexpr int kAfterArrivalMs = 1000;
constexpr int kTimeoutMs = 120000;

/// Air around an elliptic body of soft tissue with a bony ring, plus noise, in Hounsfield units.
std::unique_ptr<SharedImageSet> noisyCt()
{
    auto ct = std::make_unique<SharedImageSet>("ct", Eigen::Vector3i(kSide, kSide, kSlices),
                                               Eigen::Vector3d(0.7, 0.7, 1.0), Data::Modality::CT);
    std::mt19937 random(7);
    std::normal_distribution<float> noise(0.0f, 20.0f);
    float* voxel = ct->voxels().data();
    for (int z = 0; z < kSlices; ++z)
        for (int y = 0; y < kSide; ++y)
            for (int x = 0; x < kSide; ++x)
            {
                const double r = std::hypot((x - kSide / 2) / 200.0, (y - kSide / 2) / 150.0);
                const float tissue = r < 0.85 ? 40.0f : r < 1.0 ? 900.0f : -1000.0f;
                *voxel++ = std::round(tissue + noise(random));
            }
    return ct;
}

void runEventsFor(int ms)
{
    QElapsedTimer elapsed;
    elapsed.start();
    while (elapsed.elapsed() < ms)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
}

/// The longest gap between the ticks of a 1 ms timer while it runs.
class StallMeter
{
public:
    StallMeter()
    {
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this]
                         {
                             m_longestMs = std::max(m_longestMs, m_sinceTick.nsecsElapsed() / 1e6);
                             m_sinceTick.restart();
                         });
        m_timer.setTimerType(Qt::PreciseTimer);
    }
    void start()
    {
        m_sinceTick.start();
        m_timer.start(1);
    }
    [[nodiscard]] double longestMs() const { return m_longestMs; }

private:
    QTimer m_timer;
    QElapsedTimer m_sinceTick;
    double m_longestMs = 0.0;
};
} // namespace

int main(int argc, char** argv)
{
    InteractiveView::prepareApplication();
    QApplication application(argc, argv);
    QTemporaryDir folder;
    const QString path = folder.filePath("ct.nrrd");
    if (const std::string error = VolumeIO::save(*noisyCt(), path.toStdString()); !error.empty())
        return std::fprintf(stderr, "%s\n", error.c_str()), 1;

    MainWindow window(false);
    window.setInteractive(false);
    window.show();
    // The window's first drawing (its GL contexts made) is not part of the load.
    runEventsFor(kAfterArrivalMs);
    QElapsedTimer sinceOpen;
    StallMeter meter;
    meter.start();
    sinceOpen.start();
    window.openFile("volume", path);
    // The longest stall while the worker read, before the volume was handed to the main thread.
    double readingStallMs = 0.0;
    while (window.app().dataList().size() == 0 && sinceOpen.elapsed() < kTimeoutMs)
    {
        readingStallMs = meter.longestMs();
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    const double seconds = sinceOpen.nsecsElapsed() / 1e9;
    if (window.app().dataList().size() == 0)
        return std::fprintf(stderr, "the volume did not arrive (see the log)\n"), 1;
    runEventsFor(kAfterArrivalMs);
    std::printf("FIGURE volume_load_longest_main_thread_stall %.1f ms\n", meter.longestMs());
    std::printf("FIGURE volume_load_seconds %.2f s\n", seconds);
    std::printf("FIGURE volume_read_longest_main_thread_stall %.1f ms\n", readingStallMs);
    return 0;
}
