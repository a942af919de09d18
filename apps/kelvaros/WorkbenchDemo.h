#pragma once

#include <functional>
#include <optional>
#include <string>

#include <Eigen/Core>

#include "DemoReport.h"

namespace Kelvaros
{

class MainWindow;
class SharedImageSet;
class SimulatedTrackingStream;

/// The demo workspace built in a workbench as a user would build it, judged against the simulator's ground truth:
/// the simulated tracker in the insertion scenario; the phantom volume; the pointer and the needle calibrated by
/// the plug-in's tool calibration on simulated pivoting (and, for the needle, spinning) recordings; the phantom
/// registered from the pointer's touches of its landmarks; the plug-in's tool visualization on the needle with its
/// panel open; and a path planned on the phantom to its target, along which the plug-in's navigation view guides
/// the needle. Main thread only.
class WorkbenchDemo
{
public:
    /// The window is not owned and outlives the demo.
    explicit WorkbenchDemo(MainWindow& window);

    /// Builds the workspace; false when a step failed (the report says which). With `whileCalibrating`, the
    /// calibration wizard is shown first (see showCalibrationWizard).
    bool setUp(const std::function<void()>& whileCalibrating = {});
    /// Adds a line comparing the needle tip as the calibrated stream shows it now with the truth of that frame.
    void checkLiveNeedle();
    /// Whether the needle's latest sample has it half way along the path or a little further, going in.
    [[nodiscard]] bool needleHalfWayIn() const;
    /// Opens the calibration wizard on the needle as a user would, records on its pivoting step with the simulated
    /// hand pivoting, calls `whileRecording` (for a screenshot) and cancels; the report fails unless the needle's
    /// calibration came back unchanged and the view shows what it showed before.
    void showCalibrationWizard(const std::function<void()>& whileRecording);
    /// Prints the report; true when every estimate is within its limit.
    bool printReport(double seconds) const { return m_report.print(seconds); }

    [[nodiscard]] SimulatedTrackingStream* stream() const { return m_stream; }
    [[nodiscard]] SharedImageSet* phantom() const { return m_phantom; }

private:
    void calibrate(const std::string& tool, bool withAxis);
    void registerPhantom();
    /// Creates the visualization `id` as a user would, on the stream and following the needle, started, with its
    /// panel opened by the application; false when it could not be created.
    bool openOnNeedle(const std::string& id);
    /// The planned path's entry and target where the phantom is shown, and the direction to which it bends.
    struct PlannedPath
    {
        Eigen::Vector3d entry;
        Eigen::Vector3d target;
        Eigen::Vector3d aside;
    };
    [[nodiscard]] PlannedPath plannedPath() const;
    void planPath();
    void lookAlongsidePath();

    MainWindow& m_window;
    Nav::Report m_report;
    SimulatedTrackingStream* m_stream = nullptr;
    SharedImageSet* m_phantom = nullptr;
    /// The registration's estimate: where the phantom is shown.
    Eigen::Matrix4d m_phantomToTracker = Eigen::Matrix4d::Identity();
};

/// `kelvaros --demo [--screenshots DIR --seconds S] [--measure]` on an existing application object: the demo
/// shown in the window; with screenshots, grabs of the whole window at a few moments into DIR and, as
/// "navigation.png", when the needle is half way in (the run lasts until then, an insertion cycle at most beyond
/// S), the report on stdout, and the exit code (0 when every estimate is within its limit and every screenshot was
/// written); with --measure, FIGURE lines for the start to the first frame and the frame rate. Without either it
/// runs until the window is closed.
struct DemoOptions
{
    std::optional<std::string> screenshots;
    double seconds = 6.0;
    bool measure = false;
};
int runDemo(const DemoOptions& options);

} // namespace Kelvaros
