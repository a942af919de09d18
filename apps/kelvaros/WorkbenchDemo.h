#pragma once

#include <optional>
#include <string>

#include "DemoReport.h"

namespace Kelvaros
{

class MainWindow;
class SharedImageSet;
class SimulatedTrackingStream;

/// The demo workspace built in a workbench as a user would build it, judged against the simulator's ground truth:
/// the simulated tracker in the insertion scenario; the phantom volume; the pointer and the needle calibrated by
/// the plug-in's tool calibration on simulated pivoting (and, for the needle, spinning) recordings; the phantom
/// registered from the pointer's touches of its landmarks; and the plug-in's tool visualization on the needle with
/// its panel open. Main thread only.
class WorkbenchDemo
{
public:
    /// The window is not owned and outlives the demo.
    explicit WorkbenchDemo(MainWindow& window);

    /// Builds the workspace; false when a step failed (the report says which).
    bool setUp();
    /// Adds a line comparing the needle tip as the calibrated stream shows it now with the truth of that frame.
    void checkLiveNeedle();
    /// Prints the report; true when every estimate is within its limit.
    bool printReport(double seconds) const { return m_report.print(seconds); }

    [[nodiscard]] SimulatedTrackingStream* stream() const { return m_stream; }
    [[nodiscard]] SharedImageSet* phantom() const { return m_phantom; }

private:
    void calibrate(const std::string& tool, bool withAxis);
    void registerPhantom();
    void startToolVisualization();

    MainWindow& m_window;
    Nav::Report m_report;
    SimulatedTrackingStream* m_stream = nullptr;
    SharedImageSet* m_phantom = nullptr;
};

/// `kelvaros --demo [--screenshots DIR --seconds S] [--measure]` on an existing application object: the demo
/// shown in the window; with screenshots, grabs of the whole window at a few moments into DIR, the report on
/// stdout, and the exit code (0 when every estimate is within its limit and every screenshot was written); with
/// --measure, FIGURE lines for the start to the first frame and the frame rate. Without either it runs until the
/// window is closed.
struct DemoOptions
{
    std::optional<std::string> screenshots;
    double seconds = 6.0;
    bool measure = false;
};
int runDemo(const DemoOptions& options);

} // namespace Kelvaros
