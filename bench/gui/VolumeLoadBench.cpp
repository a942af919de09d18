// How the workbench stays responsive while it opens a 512 x 512 x 300 CT of 16-bit values (gzip NRRD, written here
// first): File > Open Volume's path reads it on a worker while a 1 ms timer on the main thread notes the longest
// gap between its ticks, from the opening until a second after the volume joined the data list (its first drawing
// included). The gaps are also split at the moment the volume joined: before it, reading and uploading; after it, the
// views' first drawing of it, as costly as any frame that redraws all four views. Needs an X display
// (scripts/with-display).

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

/// The longest gap between the ticks of a 1 ms timer while it runs, and the longest before and after a moment
/// marked in between (a gap across the mark counts its two parts apart).
class StallMeter
{
public:
    StallMeter()
    {
        QObject::connect(&m_timer, &QTimer::timeout,
                         [this]
                         {
                             const double now = m_clock.nsecsElapsed() / 1e6;
                             m_longestMs = std::max(m_longestMs, now - m_lastTickMs);
                             if (m_markMs < 0.0)
                                 m_longestBeforeMs = std::max(m_longestBeforeMs, now - m_lastTickMs);
                             else
                             {
                                 m_longestBeforeMs = std::max(m_longestBeforeMs, m_markMs - m_lastTickMs);
                                 m_longestAfterMs = std::max(m_longestAfterMs, now - std::max(m_lastTickMs, m_markMs));
                             }
                             m_lastTickMs = now;
                         });
        m_timer.setTimerType(Qt::PreciseTimer);
    }
    void start()
    {
        m_clock.start();
        m_timer.start(1);
    }
    void mark()
    {
        if (m_markMs < 0.0)
            m_markMs = m_clock.nsecsElapsed() / 1e6;
    }
    [[nodiscard]] double longestMs() const { return m_longestMs; }
    [[nodiscard]] double longestBeforeMarkMs() const { return m_longestBeforeMs; }
    [[nodiscard]] double longestAfterMarkMs() const { return m_longestAfterMs; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    double m_lastTickMs = 0.0;
    double m_markMs = -1.0;
    double m_longestMs = 0.0;
    double m_longestBeforeMs = 0.0;
    double m_longestAfterMs = 0.0;
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
    window.app().signalDataAdded.connect([&meter](Data*) { meter.mark(); });
    sinceOpen.start();
    window.openFile("volume", path);
    while (window.app().dataList().size() == 0 && sinceOpen.elapsed() < kTimeoutMs)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    const double seconds = sinceOpen.nsecsElapsed() / 1e9;
    if (window.app().dataList().size() == 0)
        return std::fprintf(stderr, "the volume did not arrive (see the log)\n"), 1;
    runEventsFor(kAfterArrivalMs);
    std::printf("FIGURE volume_load_longest_main_thread_stall %.1f ms\n", meter.longestMs());
    std::printf("FIGURE volume_load_seconds %.2f s\n", seconds);
    std::printf("FIGURE volume_read_and_upload_longest_main_thread_stall %.1f ms\n", meter.longestBeforeMarkMs());
    std::printf("FIGURE volume_first_drawing_longest_main_thread_stall %.1f ms\n", meter.longestAfterMarkMs());
    return 0;
}
