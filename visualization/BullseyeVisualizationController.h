#pragma once

#include <memory>

#include <QWidget>

#include "core/Signal.h"
#include "lib/AlgorithmController.h"

namespace Ui
{
class BullseyeVisualizationController;
}

namespace Kelvaros
{

class BullseyeScene;
class BullseyeVisualizationAlgorithm;
class DefaultControllerDecorator;
class GlLine;
class ToolVisualizationController;

/// The panel of a BullseyeVisualizationAlgorithm: builds the targeting scene (BullseyeScene) from the first line
/// annotation of the reference image (its first point the target, its second the entry side), shows and hides it
/// with one button, centres the 3D view along the path, and moves the scene whenever the embedded tool
/// visualization panel (framed below the form as "Tool Visualization", started and stopped on its own) reports an
/// update. The embedded panel's insertion read-out follows the path and is also drawn as text in the 3D view; the
/// line's own length label is hidden while the scene shows.
///
/// Main thread only. The algorithm must outlive the panel; the application's annotation model and the display
/// must outlive it too.
class BullseyeVisualizationController
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    explicit BullseyeVisualizationController(BullseyeVisualizationAlgorithm* algorithm, QWidget* parent = nullptr);
    ~BullseyeVisualizationController() override;

    void init() override;

    [[nodiscard]] Ui::BullseyeVisualizationController& form() const { return *m_ui; }
    [[nodiscard]] ToolVisualizationController& toolPanel() const { return *m_toolPanel; }
    /// The frame around the embedded tool visualization panel.
    [[nodiscard]] DefaultControllerDecorator& toolFrame() const { return *m_toolFrame; }
    [[nodiscard]] const BullseyeScene& scene() const { return *m_scene; }
    [[nodiscard]] bool isRunning() const;

public slots:
    /// Builds the scene on the first call that finds a line annotation, then shows or hides it.
    void onStartStop();
    /// Puts the 3D camera behind the entry point, looking down the path at the target.
    void onCenter();
    /// Moves the scene to the latest needle pose (nothing while hidden or without a pose).
    void updateVisualization();

private:
    /// Builds and attaches the scene from the image's first line annotation; false (Error) without one.
    bool setUpScene();
    void requestDisplayUpdate();
    void hideLineLabel(bool hide);

    BullseyeVisualizationAlgorithm* m_algorithm;
    std::unique_ptr<Ui::BullseyeVisualizationController> m_ui;
    std::unique_ptr<BullseyeScene> m_scene;
    // The frame is this panel's child (deleted first, by the destructor) and the tool panel the frame's.
    ToolVisualizationController* m_toolPanel;
    DefaultControllerDecorator* m_toolFrame;
    // The annotation the scene was built from, while it exists, and what its label showed before.
    GlLine* m_line = nullptr;
    SignalConnection m_lineGone;
    bool m_lineLabelWasVisible = false;
};

} // namespace Kelvaros
