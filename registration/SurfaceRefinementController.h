#pragma once

#include <memory>

#include <QTimer>
#include <QWidget>

#include "lib/AlgorithmController.h"

class QDoubleSpinBox;
class QLabel;
class QPushButton;

namespace Kelvaros
{

class GlMesh;
class GlSweepPoints;
class SurfaceRefinementAlgorithm;
class TrackingInstrumentComboBox;

/// The panel of a surface refinement, top to bottom as the user works: the pointer; the surface's threshold and
/// "Extract surface" (the surface is drawn on the volume in every view); "Record surface points" (held on while the
/// pointer sweeps the surface; the points appear in the 3D view as they come, and their count below) and "Clear
/// points"; "Refine registration", then what the fit found: the RMS distance before and after over the points it
/// used, the iterations, how far the volume moved and whether the fit can be trusted (in red when not, and then
/// nothing was changed); the registration in force and "Restore previous registration".
///
/// Main thread only. The algorithm (and its stream and volume) must outlive the panel.
class SurfaceRefinementController
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    explicit SurfaceRefinementController(SurfaceRefinementAlgorithm* algorithm);
    ~SurfaceRefinementController() override;

    void init() override;
    void onAlgorithmOutputChanged() override;
    /// Swept points not yet used by a refinement.
    [[nodiscard]] std::string unsavedWork() const override;

public slots:
    void onExtractSurface();
    void onRecordToggled(bool recording);
    void onClearPoints();
    void onRefine();
    void onRestorePrevious();

private:
    void buildLayout();
    /// The sweep's count and drawing, and the surface's placement on the volume, as they are now.
    void refreshScene();
    void showResult();
    void updateHistory();

    SurfaceRefinementAlgorithm* m_algorithm;
    TrackingInstrumentComboBox* m_tool;
    QDoubleSpinBox* m_threshold;
    QPushButton* m_extract;
    QLabel* m_surfaceLabel;
    QPushButton* m_record;
    QPushButton* m_clear;
    QLabel* m_pointsLabel;
    QPushButton* m_refine;
    QLabel* m_resultLabel;
    QLabel* m_historyLabel;
    QPushButton* m_restore;
    std::unique_ptr<GlMesh> m_surface;
    std::unique_ptr<GlSweepPoints> m_sweep;
    /// Points used by the last refinement, so that only newer ones count as unsaved work.
    std::size_t m_refinedCount = 0;
    /// The sweep grows on the stream's thread: its drawing and count follow on this clock while recording.
    QTimer m_sweepWatch;
};

} // namespace Kelvaros
