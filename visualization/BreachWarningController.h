#pragma once

#include <memory>
#include <vector>

#include <QTimer>
#include <QWidget>

#include "lib/AlgorithmController.h"

class QCheckBox;
class QDoubleSpinBox;
class QLabel;
class QListWidget;
class QPushButton;

namespace Kelvaros
{

class BreachTonePlayer;
class BreachWarningAlgorithm;
class GlMesh;
class GlPoint;
class TrackingInstrumentComboBox;

/// The panel of the breach warning: the tool, the critical structures (mesh files segmented from the volume, drawn
/// in every view in red), the warning margin and the needle's length, and the reading in large type: the nearest
/// structure and its distance in green (clear), amber (within the margin) or red (inside), or why no distance can be
/// trusted (tool not visible, stale, tip not calibrated, not registered) in grey. The structure's closest point is
/// marked in the views while a distance is shown. With "Tone" checked the reading is also heard (breachTone): beeps
/// within the margin, a steady tone inside, silence whenever no distance is shown and once the panel is gone.
///
/// Main thread only. The algorithm (and its stream and volume) must outlive the panel.
class BreachWarningController
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    explicit BreachWarningController(BreachWarningAlgorithm* algorithm);
    ~BreachWarningController() override;

    void init() override;

    /// The reading as the panel shows it now.
    [[nodiscard]] QString readingText() const;
    [[nodiscard]] const BreachTonePlayer& tonePlayer() const { return *m_player; }

public slots:
    void onAddStructure();
    void onClearStructures();
    /// Reads the algorithm's last reading into the label and the marker; on a clock while the panel lives.
    void refreshReading();

private:
    void buildLayout();
    /// The list and the drawn meshes after the structures changed.
    void showStructures();
    void removeDrawnStructures();

    BreachWarningAlgorithm* m_algorithm;
    TrackingInstrumentComboBox* m_tool;
    QListWidget* m_structures;
    QPushButton* m_add;
    QPushButton* m_clear;
    QDoubleSpinBox* m_margin;
    QDoubleSpinBox* m_needleLength;
    QCheckBox* m_tone;
    QLabel* m_reading;
    std::unique_ptr<BreachTonePlayer> m_player;
    std::vector<std::unique_ptr<GlMesh>> m_drawn;
    std::unique_ptr<GlPoint> m_closest;
    QTimer m_clock;
};

} // namespace Kelvaros
