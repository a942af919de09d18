#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include <Eigen/Geometry>

#include "gui/view/FrameClock.h"
#include "lib/AlgorithmController.h"

class QLabel;
class QTimer;

namespace Ui
{
class ToolVisualizationController;
}

namespace Kelvaros
{

class AnnotationModel;
struct ToolSnapshot;
class GlMesh;
class InsertionReadoutWidget;
class InteractiveObject;
class Mesh;
class ToolVisualizationAlgorithm;
class TrackingInstrumentFiducialsData;

/// The panel of a ToolVisualizationAlgorithm: picks the target and reference instruments and the view options,
/// starts and stops the visualization and, at every update of the algorithm, places the tool mesh and its
/// direction line at the tool pose (yellow while the tool is seen; red, left at their last place, while it is not),
/// shows the raw fiducials as spheres coloured per instrument and moves the three slice views with the tool
/// (SliceViewLinking). When the views stop following the tool (linking or its rotations turned off, the
/// visualization stopped or the panel closed) they turn upright in their anatomical planes where they are. Once a
/// planned path is set, an insertion read-out below the form follows every sample; it also gives the reading of a
/// breach warning measuring the same tool, alone while there is no path. Below the form a warning names what
/// the tool's calibration leaves unknown. When the samples stop for kStaleAfterUs the tool turns red as when it is not
/// seen.
///
/// The tool objects live in the application's annotation model (kept out of its undo history); the fiducial
/// spheres are the panel's own, shown in view group 0. Without an application the panel runs without tool
/// objects; without a display nothing is drawn and no view moves.
///
/// Each update reads the tool once (a ToolSnapshot) and places the mesh, moves the views and feeds the read-out from
/// that one pose. While running with a display, the display's frame clock drives the updates: the tool's pose is
/// worked out from the very snapshot of the stream the views draw in that frame (as the algorithm works it out from
/// a sample), so that mesh, slices and the stream's glyph never show different samples; the clock also tells when
/// the samples stopped.
///
/// Threads: without a display, the algorithm's update signal arrives on the stream's thread and is queued to
/// updateVisualization (one call at a time: samples arriving before it runs are drawn together by it); everything
/// else runs on the Qt main thread. The algorithm must outlive the panel.
class ToolVisualizationController
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    explicit ToolVisualizationController(ToolVisualizationAlgorithm* algorithm, QWidget* parent = nullptr);
    /// Takes the tool objects out of the annotation model and the spheres out of the views.
    ~ToolVisualizationController() override;

    void init() override;

    [[nodiscard]] ToolVisualizationAlgorithm& toolAlgorithm() const { return *m_algorithm; }
    [[nodiscard]] Ui::ToolVisualizationController& form() const { return *m_ui; }
    [[nodiscard]] bool isRunning() const;
    /// The tool mesh and the direction line while running (the mesh is missing when its file did not load).
    [[nodiscard]] GlMesh* toolMesh() const;
    [[nodiscard]] const std::vector<InteractiveObject*>& toolObjects() const { return m_toolObjects; }
    [[nodiscard]] const std::vector<std::unique_ptr<InteractiveObject>>& fiducialSpheres() const { return m_spheres; }

    /// Shows the insertion read-out for the path from `entry` to `target` (world, mm) planned in `region` (see
    /// judgeFigures; empty: no registration judgement).
    void setInsertionPath(const Eigen::Vector3d& entry, const Eigen::Vector3d& target,
                          const std::optional<Eigen::AlignedBox3d>& region);
    /// The read-out; hidden until a path is set or a breach warning measures the tool.
    [[nodiscard]] InsertionReadoutWidget* readoutWidget() const { return m_readout; }
    /// What the tool's calibration leaves unknown (calibrationWarning), shown while running; hidden when nothing.
    [[nodiscard]] QLabel* calibrationWarningLabel() const { return m_calibrationWarning; }

public slots:
    /// Start / stop.
    void onCompute();
    /// Re-registers the stream so that the tool appears where slice view 0 is centred and oriented.
    void onUpdateRef();
    void onToggleLinkMPRs(bool link);
    void onToggleLinkWithRot(bool withRotation);
    void onToggleRawFiducials(bool show);
    /// Places the tool objects and spheres at the algorithm's latest state and moves the slice views (the path
    /// without a display's frames).
    void updateVisualization();

signals:
    /// After every update of the scene, before the display repaints; also once when the samples stop (the tool is
    /// then shown as not seen and every figure as stale).
    void visualizationUpdated();

private:
    void start();
    void stop();
    void loadToolMesh();
    void removeToolObjects();
    void addToolObject(std::unique_ptr<InteractiveObject> object, bool visible);
    /// Places the tool objects at `toolMatrix` (when given) in the colour of a tool seen or not.
    void colourToolObjects(const std::optional<Eigen::Matrix4d>& toolMatrix, bool seen);
    void showFiducials(const TrackingInstrumentFiducialsData* fiducials);
    void hideFiducials();
    /// Places the tool objects and moves the slice views and the read-out, all from `tool`.
    void showTool(const ToolSnapshot& tool);
    /// The display's frame: a new sample is shown, a stale one as such.
    void onFrame(const TrackingSnapshot& frame, bool stale);
    /// The tool as `frame` shows it, by the algorithm's rule (see ToolVisualizationAlgorithm) and parameters.
    [[nodiscard]] ToolSnapshot toolOf(const TrackingSnapshot& frame) const;
    void linkSliceViews(const std::optional<Eigen::Matrix4d>& toolMatrix);
    /// After linked views: every slice view upright in its anatomical plane again, where it is.
    void releaseSliceViews();
    /// Timer, and a frame marked stale: once no sample has come for kStaleAfterUs, shows the tool as not seen and
    /// tells the dependents.
    void checkStale();
    void showCalibrationWarning(const ToolSnapshot& tool);
    [[nodiscard]] AnnotationModel* annotationModel() const;
    void requestDisplayUpdate();

    ToolVisualizationAlgorithm* m_algorithm;
    std::unique_ptr<Ui::ToolVisualizationController> m_ui;
    InsertionReadoutWidget* m_readout;
    QLabel* m_calibrationWarning;
    QTimer* m_staleTimer;
    bool m_staleShown = false;
    bool m_hasPath = false;
    // The slice views were moved by the tool since they were last let go.
    bool m_viewsLinked = false;
    // Serialises start/stop and updates; removal callbacks run under it and must not take it.
    std::mutex m_mutex;
    std::vector<InteractiveObject*> m_toolObjects;
    std::vector<std::unique_ptr<InteractiveObject>> m_spheres;
    std::shared_ptr<Mesh> m_mesh;
    // A call of updateVisualization is queued and has not started yet.
    std::atomic<bool> m_updateQueued{ false };
    // While running with a display: the frames of its clock, and the sequence number of the sample last shown.
    std::unique_ptr<FrameClock::ClientWatch> m_frameWatch;
    uint64_t m_shownSequence = 0;
    // When the sample last shown from a frame arrived; empty before the first of a run.
    std::optional<std::chrono::steady_clock::time_point> m_shownArrival;
    // The frames drive the updates; the algorithm's signal queues none. Read on the stream's thread.
    std::atomic<bool> m_frameDriven{ false };
};

} // namespace Kelvaros
