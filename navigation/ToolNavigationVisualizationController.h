#pragma once

#include <map>
#include <memory>
#include <string>

#include <QWidget>

#include "lib/AlgorithmController.h"

#include "navigation/NavigationSettings.h"

namespace Ui
{
class ToolNavigationVisualizationController;
}

namespace Kelvaros
{

class DefaultControllerDecorator;
class GlSpline;
class InteractiveObject;
class NavigationScene;
class Properties;
class ToolNavigationDistanceWidget;
class ToolNavigationVisualizationAlgorithm;
class ToolVisualizationController;

/// The panel of a ToolNavigationVisualizationAlgorithm: picks the path among the spline annotations of the
/// application's annotation model, edits the path view's settings (NavigationScene, drawn in the first 3D view),
/// shows the distance bar, and moves the scene whenever the embedded tool visualization panel (framed below the
/// form as "Tool Visualization") reports an update. The settings are stored through configuration/configure.
///
/// Main thread only. The algorithm must outlive the panel; the application's annotation model and the display
/// must outlive it too. Without a display there is no scene: the widgets still keep the settings.
class ToolNavigationVisualizationController
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    explicit ToolNavigationVisualizationController(ToolNavigationVisualizationAlgorithm* algorithm,
                                                   QWidget* parent = nullptr);
    ~ToolNavigationVisualizationController() override;

    void init() override;

    /// The eight settings as the widgets show them (the rotation offset and the path are not stored).
    void configuration(Properties& properties) const;
    /// Sets the widgets from the keys present; the scene follows.
    void configure(const Properties& properties);
    /// The eight settings are what a workspace keeps of this panel.
    void savePanelState(Properties& state) const override { configuration(state); }
    void loadPanelState(const Properties& state) override { configure(state); }

    [[nodiscard]] NavigationSettings settings() const;
    [[nodiscard]] Ui::ToolNavigationVisualizationController& form() const { return *m_ui; }
    [[nodiscard]] ToolVisualizationController& toolPanel() const { return *m_toolPanel; }
    [[nodiscard]] DefaultControllerDecorator& toolFrame() const { return *m_toolFrame; }
    /// Null before init() or without a display.
    [[nodiscard]] const NavigationScene* scene() const { return m_scene.get(); }
    /// Null before init().
    [[nodiscard]] const ToolNavigationDistanceWidget* distanceWidget() const { return m_distance; }

public slots:
    /// Refills the spline combo from the annotation model, keeping the selected path's name current.
    void onAnnotationAdded();
    /// Forgets a removed spline annotation and selects the combo's current entry again.
    void onAnnotationRemoved(InteractiveObject* annotation);
    /// Makes the combo's current spline the path (an Error in the log when there is none).
    void onSelectSpline();

signals:
    /// After every update of the scene.
    void changed();

private:
    void connectWidgets();
    void applySettings();
    void showSettings(const NavigationSettings& settings);
    void onVisualizationUpdated();
    /// The growth follows the path type; a Rings camera link locks the path's shape while it drives the view.
    void updateEnabling();
    void requestDisplayUpdate();

    ToolNavigationVisualizationAlgorithm* m_algorithm;
    std::unique_ptr<Ui::ToolNavigationVisualizationController> m_ui;
    std::unique_ptr<NavigationScene> m_scene;
    std::map<std::string, GlSpline*> m_splinesByName;
    // Children of this panel; the frame owns the tool panel and goes first, in the destructor.
    ToolVisualizationController* m_toolPanel;
    DefaultControllerDecorator* m_toolFrame;
    ToolNavigationDistanceWidget* m_distance = nullptr;
};

} // namespace Kelvaros
