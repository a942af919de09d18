// Time from a tracking sample's arrival to the end of the frame that shows the moved tool, with the tool
// visualization panel and the bullseye panel (and its embedded tool panel) both running on the same simulated
// insertion at 60 Hz. A sample arrives when the stream's delivery thread hands it to its listeners (a listener
// connected before the panels' algorithms stamps it); it is shown once the 3D view has swapped a paint that drew the
// bullseye's tip marker at that sample's needle tip. Samples the views skip (a newer one came before the paint) and
// samples in which the needle was not seen count as not shown; the counts are printed with the figures.
//
// Needs an X display (scripts/with-display). `PanelLatencyBench --pictures DIR` also writes, mid-insertion, the 3D
// view as DIR/bullseye.png, the whole display as DIR/display.png and the panels as DIR/bullseye-panel.png and
// DIR/tool-panel.png.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QCoreApplication>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <Eigen/Geometry>

#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlPoint.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/ImageView3D.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStreamData.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "visualization/BullseyeScene.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/BullseyeVisualizationController.h"
#include "visualization/ToolVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationController.h"

namespace
{
using namespace Kelvaros;
using Clock = std::chrono::steady_clock;

constexpr int kMeasureSeconds = 10;
constexpr double kSameTipMm = 1e-6;
// The tool visualization's default: poses of lower quality are not shown.
constexpr double kQualityThreshold = 0.2;

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5)];
}

/// The needle's calibration: the tip at the origin, the needle pointing along −z, as the panels draw tools.
Eigen::Matrix4d needleCalibration()
{
    const TrackingSimulator::Tool& needle = *SimulatedTrackingStream::groundTruth().tool("Needle");
    Eigen::Matrix4d calibration = Eigen::Matrix4d::Identity();
    calibration.topLeftCorner<3, 3>() =
      Eigen::Quaterniond::FromTwoVectors(-Eigen::Vector3d::UnitZ(), needle.axis_Tool).toRotationMatrix();
    calibration.topRightCorner<3, 1>() = needle.tipOffset_Tool;
    return calibration;
}

/// Arrival times of the latest samples, by the needle tip they carry (world = tracker space here).
class Arrivals
{
public:
    struct Sample
    {
        Eigen::Vector3d tip;
        Clock::time_point arrival;
        int64_t frame;
        bool shown = false;
    };

    void record(const Eigen::Vector3d& tip, int64_t frame)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_samples.push_back({ tip, Clock::now(), frame });
        if (m_samples.size() > 256)
            m_samples.pop_front();
        ++m_count;
    }
    /// Marks the sample with this tip as shown; its arrival and frame when it had not been shown before.
    std::optional<Sample> show(const Eigen::Vector3d& tip)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_samples.rbegin(); it != m_samples.rend(); ++it)
            if ((it->tip - tip).norm() < kSameTipMm)
            {
                if (it->shown)
                    return std::nullopt;
                it->shown = true;
                return *it;
            }
        return std::nullopt;
    }
    [[nodiscard]] int64_t count() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_count;
    }

private:
    mutable std::mutex m_mutex;
    std::deque<Sample> m_samples;
    int64_t m_count = 0;
};

void runFor(int ms)
{
    QTimer deadline;
    deadline.setSingleShot(true);
    deadline.start(ms);
    while (deadline.isActive())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

void clickStart(QWidget& panel)
{
    panel.findChild<QPushButton*>("pushButton_startStop")->click();
}
} // namespace

int main(int argc, char** argv)
{
    const std::string pictures = argc == 3 && std::string(argv[1]) == "--pictures" ? argv[2] : "";
    InteractiveView::prepareApplication();
    QApplication qtApplication(argc, argv);

    DisplayWidgetMulti display;
    display.resize(1280, 800);
    display.show();
    GuiApplicationController application(&display);

    SimulatedTrackingStream stream;
    stream.scenario.setValue("insertion");
    stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration("Needle", needleCalibration(), 0);
    const Eigen::Matrix4d calibration = needleCalibration();
    Arrivals arrivals;
    // Connected before the panels' algorithms: the stamp is taken before they see the sample.
    stream.signalStreamData.connect(
      [&](const std::shared_ptr<const StreamData>& data)
      {
          const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
          if (!sample)
              return;
          for (const TrackingInstrument& instrument : sample->instruments())
              if (instrument.ID() == "Needle" && instrument.tracked && instrument.quality > kQualityThreshold)
                  arrivals.record((instrument.matrix * calibration).block<3, 1>(0, 3),
                                  stream.frameForTimestamp(instrument.timestamp));
      });

    const auto& truth = SimulatedTrackingStream::groundTruth();
    SharedImageSet volume("planning", Eigen::Vector3i(8, 8, 8), Eigen::Vector3d(1, 1, 1));
    auto path = std::make_unique<GlLine>("Path");
    path->setPoints({ truth.pathTarget_Tracker, truth.pathEntry_Tracker });
    // Its length label would sit on the bullseye, which the camera looks at down the path.
    path->setLabelVisible(false);
    application.annotationModel().addAnnotation(std::make_unique<InteractiveObject>(std::move(path)), &volume);

    ToolVisualizationAlgorithm toolAlgorithm(&stream, nullptr);
    BullseyeVisualizationAlgorithm bullseyeAlgorithm(&stream, &volume);
    for (ToolVisualizationAlgorithm* tool : { &toolAlgorithm, &bullseyeAlgorithm.toolVisAlg() })
        tool->p_trackingTargetId.setValue("Needle");
    ToolVisualizationController toolPanel(&toolAlgorithm);
    BullseyeVisualizationController bullseyePanel(&bullseyeAlgorithm);
    for (AlgorithmController* panel : std::initializer_list<AlgorithmController*>{ &toolPanel, &bullseyePanel })
    {
        panel->setDisplay(&display);
        panel->setApplication(&application);
        panel->init();
    }
    for (QWidget* panel : std::initializer_list<QWidget*>{ &toolPanel, &bullseyePanel, &bullseyePanel.toolPanel() })
        clickStart(*panel);
    if (!bullseyePanel.isRunning())
    {
        std::fprintf(stderr, "the bullseye scene did not start\n");
        return 1;
    }

    // Which tip each paint of the 3D view drew, and the latency once that paint is on the screen.
    ImageView3D& view = *display.view3D();
    std::map<int, Eigen::Vector3d> paintedTips;
    std::vector<double> latenciesMs;
    int64_t lastShownFrame = -1;
    bool measuring = true;
    QObject::connect(&view, &InteractiveView::painted,
                     [&] { paintedTips[view.paintCount()] = bullseyePanel.scene().tipMarker()->points().front(); });
    QObject::connect(&view, &QOpenGLWidget::frameSwapped,
                     [&]
                     {
                         const auto it = paintedTips.find(view.paintCount());
                         if (it == paintedTips.end())
                             return;
                         const auto sample = arrivals.show(it->second);
                         paintedTips.clear();
                         if (!sample)
                             return;
                         lastShownFrame = sample->frame;
                         if (measuring)
                             latenciesMs.push_back(
                               std::chrono::duration<double, std::milli>(Clock::now() - sample->arrival).count());
                     });

    if (!stream.open() || !stream.start())
    {
        std::fprintf(stderr, "the simulated tracker did not start\n");
        return 1;
    }
    runFor(kMeasureSeconds * 1000);
    measuring = false;
    const int64_t arrived = arrivals.count();

    if (!pictures.empty())
    {
        // Taken while the stream runs, at the first frame that shows the needle halfway down the path.
        const double length = (truth.pathTarget_Tracker - truth.pathEntry_Tracker).norm();
        const TrackingSimulator simulator = stream.simulator();
        const auto midway = [&]
        {
            const double depth = lastShownFrame >= 0 ? simulator.insertionDepth(lastShownFrame) : -1.0;
            return depth > 0.45 * length && depth < 0.6 * length;
        };
        while (!midway())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const QString dir = QString::fromStdString(pictures);
        view.renderToImage(QSize(800, 600)).save(dir + "/bullseye.png");
        display.saveScreenshot(dir + "/display.png", QSize(1280, 800));
        bullseyePanel.grab().save(dir + "/bullseye-panel.png");
        toolPanel.grab().save(dir + "/tool-panel.png");
    }
    stream.stop();
    stream.close();

    std::printf("%lld samples with the needle seen arrived in %d s, %zu shown on screen (the rest skipped by a newer "
                "one)\n",
                static_cast<long long>(arrived), kMeasureSeconds, latenciesMs.size());
    if (latenciesMs.empty())
    {
        std::fprintf(stderr, "no sample reached the screen\n");
        return 1;
    }
    std::printf("FIGURE panels_sample_to_screen_ms_median %.2f ms\n", percentile(latenciesMs, 0.5));
    std::printf("FIGURE panels_sample_to_screen_ms_p99 %.2f ms\n", percentile(latenciesMs, 0.99));
    return 0;
}
