#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <QObject>

#include "core/Export.h"
#include "lib/ApplicationController.h"

namespace Kelvaros
{

class AlgorithmController;
class AnnotationModel;
class DefaultControllerDecorator;
class DisplayWidgetMulti;
class InteractiveObject;

/// The application with its panels, usable with or without a main window: every panel it opens is framed in a
/// DefaultControllerDecorator that it owns. A panel always dies before its algorithm, whichever way the algorithm
/// is closed (removeAlgorithm, ApplicationController::closeAlgorithm, deleting the data it was created on,
/// clear()). A main window may reparent the decorators into docks and must give each back (setParent(nullptr))
/// on controllerAboutToClose. Main thread only.
class KELVAROS_API GuiApplicationController
  : public QObject
  , public ApplicationController
{
    Q_OBJECT

public:
    /// The display is not owned (null: panels get none) and must outlive this controller.
    explicit GuiApplicationController(DisplayWidgetMulti* display);
    /// Closes panels, then algorithms, then the annotations, then data and plug-ins.
    ~GuiApplicationController() override;

    /// The application of a panel when it is a GuiApplicationController, else null.
    [[nodiscard]] static GuiApplicationController* of(const AlgorithmController& controller);

    [[nodiscard]] DisplayWidgetMulti* display() const { return m_display; }
    /// The annotations, shown in the display. Annotations attached to a data object go when it is removed.
    [[nodiscard]] AnnotationModel& annotationModel() { return *m_annotationModel; }
    void ignoreAnnotationInHistory(InteractiveObject* annotation);

    /// Opens the panel of an algorithm (the existing one when it has one): the first plug-in controller factory's
    /// panel, else a DefaultAlgorithmController whose Compute runs runAlgorithm (so outputs join the data). The
    /// panel gets the display and this application, is initialised and framed; its close request removes the
    /// algorithm from the event loop. Emits controllerOpened. Null (Error in the log) for a null algorithm or a
    /// panel that is not a widget.
    DefaultControllerDecorator* openController(Algorithm* algorithm);
    /// Lets a panel hear its algorithm: signalOutputChanged and signalParametersChanged, on any thread, call
    /// onAlgorithmOutputChanged and onAlgorithmParametersChanged on the main thread (never after the panel died).
    /// openController does this for every panel; the panel must be a QWidget.
    static void forwardAlgorithmSignals(AlgorithmController& panel);
    /// The frame around a panel, or null.
    [[nodiscard]] DefaultControllerDecorator* decoratorOf(const AlgorithmController* controller) const;
    /// Every open panel's frame, in the order opened.
    [[nodiscard]] std::vector<DefaultControllerDecorator*> controllers() const;
    /// Emits controllerAboutToClose, deletes the panel, then closes the algorithm (when owned here). Not from
    /// inside a handler of the panel's own widgets (closeAlgorithm() on the panel is the way from there).
    void removeAlgorithm(Algorithm* algorithm);
    /// removeAlgorithm for every algorithm with a panel, newest first.
    void closeAll();
    /// Asked before a panel closes at the user's request (its close button, closeAlgorithm()) when it would throw
    /// away unsaved work (AlgorithmController::unsavedWork): false keeps it open. Without one, panels close
    /// without asking (tests, scripted sessions).
    using CloseConfirmation = std::function<bool(const AlgorithmController& panel, const std::string& loss)>;
    void setCloseConfirmation(CloseConfirmation confirm) { m_confirmClose = std::move(confirm); }

signals:
    // Qualified, so that queued connections and signal spies find the registered type.
    void controllerOpened(Kelvaros::DefaultControllerDecorator* decorator);
    void controllerAboutToClose(Kelvaros::DefaultControllerDecorator* decorator);

private:
    struct Panel;

    [[nodiscard]] std::unique_ptr<AlgorithmController> createPanel(Algorithm* algorithm);
    void closePanel(Algorithm* algorithm);
    [[nodiscard]] std::vector<Panel>::iterator findPanel(const Algorithm* algorithm);

    DisplayWidgetMulti* m_display;
    std::vector<Panel> m_panels;
    std::unique_ptr<AnnotationModel> m_annotationModel;
    SignalReceiver m_connections;
    CloseConfirmation m_confirmClose;
};

} // namespace Kelvaros
