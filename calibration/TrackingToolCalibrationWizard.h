#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QWidget>

#include <Eigen/Core>

#include "lib/AlgorithmController.h"
#include "lib/DataList.h"

namespace Ui
{
class TrackingToolCalibrationWizard;
}

class QImage;
class QLabel;

namespace Kelvaros
{

class CalibrationProvenanceWidget;
class CalibrationVerificationWidget;
class GlArrow;
class GlGrid;
class ImageView3D;
class InteractiveButtonOverlay;
class StreamData;
class ToolVisualizationAlgorithm;
class ToolVisualizationController;
class TrackingSequence;
class TrackingStreamDisplayOptions;
class TrackingToolCalibrationWizardAlgorithm;
class WizardPage;

/// The wizard's steps; a stage's number is the index of the page shown for it.
enum class Stage : int
{
    Intro = 0,
    Pivoting = 1,
    Rotation = 2,
    Symmetry = 3,
    None = 4
};

/// The panel of a TrackingToolCalibrationWizardAlgorithm: leads the user through choosing the instrument,
/// recording a pivoting motion, recording a rotation about the needle, checking the tool's direction (flip) and,
/// optionally, checking the tip on a divot of known position; then it commits the new calibration ("Finish", which
/// asks first when the divot check fails) and closes itself. The first page shows how the instrument's current
/// calibration was obtained, with "Restore previous calibration"; the last shows the new one's.
///
/// While open it draws into the display's 3D view: the live tool through an embedded tool visualization (a sphere
/// at the calibrated tip while recording, the pointer mesh on the flip step), a grid perpendicular to the
/// calibrated up axis through the pivot point, an "Up Axis" arrow, and a recenter button; the camera follows the
/// first pose and every new calibration. The stream's instruments are not drawn meanwhile (the tool visualization
/// draws the tool) and its trail is shown while recording; the stream's display options are restored on the way
/// out.
///
/// Every way out but "Finish" keeps the earlier calibration: Cancel restores it at once and asks the application
/// to remove the algorithm; closing the panel, removing the algorithm or quitting the application destroy the
/// algorithm unaccepted, which restores it. A recording the algorithm refuses, or whose calibration fails, leaves
/// the step incomplete with the reason shown: a refused one in a box (what was recorded against what is needed and
/// what to do), a failed calibration in red in place of the instruction (the calibration's own sentence; a motion
/// that was not a steady turn about the needle fails here). After a good rotation the page shows how well the
/// needle axis is known; the last page says that the divot checks the tip only.
///
/// Threads: the stream's samples arrive on its delivery thread; only the chosen instrument's pose is passed on,
/// queued, to the main thread. Everything else runs on the main thread. The algorithm, the display and the
/// application must outlive the panel (the application destroys panels before their algorithms).
class TrackingToolCalibrationWizard
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    /// The name under which the pose type travels in queued calls.
    using mat4 = Eigen::Matrix4d;

    explicit TrackingToolCalibrationWizard(TrackingToolCalibrationWizardAlgorithm* algorithm,
                                           QWidget* parent = nullptr);
    /// Ends the stream listener and restores the 3D view and the stream's display options.
    ~TrackingToolCalibrationWizard() override;

    /// Sets up the 3D view, the pages and their step labels and the tool visualization, then shows the first page.
    void init() override;
    /// Queues a repaint.
    void onAlgorithmOutputChanged() override;

    [[nodiscard]] Stage stage() const { return m_stage; }
    [[nodiscard]] int pageCount() const { return int(m_pages.size()); }
    [[nodiscard]] const GlArrow& upAxisArrow() const { return *m_upAxisArrow; }
    [[nodiscard]] const GlGrid& grid() const { return *m_grid; }
    [[nodiscard]] ToolVisualizationController& toolVisualizationController() const
    {
        return *m_toolVisualizationController;
    }

    /// Shows the page of that index; one past the last page commits the calibration (as "Finish" does).
    void changePage(int page);

public slots:
    void onNextPage();
    void onPreviousPage();
    /// The start/stop button: starts a recording, or stops it and hands it to the algorithm.
    void onRecord(bool checked);
    /// Turns the calibration by 180 degrees about the tool's x-axis (checked) or back.
    void onFlip(bool checked);
    /// Ends the wizard without accepting: the earlier calibration is restored.
    void onCancel();
    /// Aims the camera at the pivot point along the up axis, or at the tool before a calibration exists.
    void centerCamera();

protected:
    /// Keeps the animation as wide as the GIF label when the panel is resized.
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void updateDisplay();
    void updateInstrument(mat4 matrix, double quality);

private:
    /// The current calibration's provenance on the first page, the new one's with its divot check on the last.
    void addCalibrationChecks();
    void setUpView();
    void buildPages();
    /// Completes the record steps whose recordings the algorithm holds, and only those.
    void completeRecordPagesHeld();
    void buildStepLabels();
    void setUpToolVisualization();
    void setStage(Stage stage);
    void updateGUI();
    void onInstrumentSelected(const std::string& id);
    void onStreamData(const TrackingToolCalibrationWizardAlgorithm& algorithm,
                      const std::shared_ptr<const StreamData>& data);
    /// Hands a recording of the current record step to the algorithm and calibrates; true when it was accepted
    /// and the calibration succeeded.
    bool storeRecording(std::unique_ptr<TrackingSequence> recording);
    /// Calibrates from the algorithm's recordings and shows the result; false (reason shown) when it failed.
    bool calibrate();
    /// The needle axis's figures of this wizard's calibration on the rotation page, and beside the divot check
    /// that the divot does not check the axis.
    void showAxisFigures();
    void showInstruction(const QString& text, bool failure);
    void showStream(TrackingSequence* recording = nullptr);
    void centerGrid();
    void requestRepaint();
    void accept();
    /// Leaves the wizard: ends the listener, restores the view, asks the application to remove the algorithm
    /// and deletes the panel.
    void finish();
    void clean();
    /// The items of `data` the application still holds.
    [[nodiscard]] DataList stillPresent(const DataList& data) const;

    TrackingToolCalibrationWizardAlgorithm* m_algorithm;
    std::unique_ptr<Ui::TrackingToolCalibrationWizard> m_ui;
    std::vector<std::unique_ptr<WizardPage>> m_pages;
    int m_currentIndex = -1;
    WizardPage* m_currentPage = nullptr;
    std::vector<QLabel*> m_stepLabels;
    ImageView3D* m_view = nullptr;
    std::unique_ptr<QImage> m_recenterIcon;
    std::unique_ptr<GlArrow> m_upAxisArrow;
    std::unique_ptr<GlGrid> m_grid;
    InteractiveButtonOverlay* m_recenterOverlay = nullptr;
    Eigen::Matrix4d m_toolMatrix = Eigen::Matrix4d::Identity();
    bool m_hasToolMatrix = false;
    // The controller is declared after its algorithm, so that it goes first.
    std::unique_ptr<ToolVisualizationAlgorithm> m_toolVisualization;
    std::unique_ptr<ToolVisualizationController> m_toolVisualizationController;
    CalibrationProvenanceWidget* m_currentProvenance = nullptr;
    QWidget* m_verifyContent = nullptr;
    CalibrationProvenanceWidget* m_newProvenance = nullptr;
    CalibrationVerificationWidget* m_verification = nullptr;
    QLabel* m_divotNote = nullptr;
    QLabel* m_axisSummary = nullptr;
    Stage m_stage = Stage::Intro;
    std::unique_ptr<TrackingStreamDisplayOptions> m_savedDisplayOptions;
    /// What the 3D view showed before the wizard took it over.
    DataList m_savedVisibleData;
};

} // namespace Kelvaros
