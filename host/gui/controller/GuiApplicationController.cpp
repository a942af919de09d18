#include "gui/controller/GuiApplicationController.h"

#include <algorithm>
#include <utility>

#include <QPointer>

#include "core/Log.h"
#include "core/ParameterBase.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultAlgorithmController.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "lib/Algorithm.h"
#include "lib/AlgorithmControllerFactory.h"
#include "lib/KelvarosLibPlugin.h"

namespace Kelvaros
{

struct GuiApplicationController::Panel
{
    Algorithm* algorithm;
    std::unique_ptr<DefaultControllerDecorator> decorator;
};

namespace
{
constexpr const char* kCategory = "GuiApplicationController";
} // namespace

GuiApplicationController::GuiApplicationController(DisplayWidgetMulti* display)
  : m_display(display), m_annotationModel(std::make_unique<AnnotationModel>())
{
    qRegisterMetaType<DefaultControllerDecorator*>();
    m_annotationModel->setDisplay(display);
    signalAlgorithmRemoved.connect(&m_connections, [this](Algorithm* algorithm) { closePanel(algorithm); });
    signalDataRemoved.connect(&m_connections,
                              [this](Data* data)
                              {
                                  // Not undoable: an annotation must not come back without its data.
                                  m_annotationModel->removeAnnotationsOf(data);
                              });
}

GuiApplicationController::~GuiApplicationController()
{
    closeAll();
    // Newest first, as clear() would, but before the annotations go.
    const std::vector<Algorithm*> open = algorithms();
    std::for_each(open.rbegin(), open.rend(), [this](Algorithm* algorithm) { closeAlgorithm(algorithm); });
    m_connections.disconnectAll();
    // Annotations may point at data; data and plug-ins go in clear().
    m_annotationModel.reset();
    clear();
}

GuiApplicationController* GuiApplicationController::of(const AlgorithmController& controller)
{
    return dynamic_cast<GuiApplicationController*>(controller.application());
}

void GuiApplicationController::ignoreAnnotationInHistory(InteractiveObject* annotation)
{
    m_annotationModel->ignoreAnnotationInHistory(annotation);
}

DefaultControllerDecorator* GuiApplicationController::openController(Algorithm* algorithm)
{
    if (!algorithm)
    {
        Log::log(Log::Error, kCategory, "No algorithm to open a panel for");
        return nullptr;
    }
    if (const auto open = findPanel(algorithm); open != m_panels.end())
        return open->decorator.get();

    std::unique_ptr<AlgorithmController> controller = createPanel(algorithm);
    if (!dynamic_cast<QWidget*>(controller.get()))
    {
        Log::logf(Log::Error, kCategory, "The panel of {} is not a widget", algorithm->factoryInfo().id);
        return nullptr;
    }
    controller->setDisplay(m_display);
    controller->setApplication(this);
    controller->init();
    forwardAlgorithmSignals(*controller);
    // Frame and panel are deleted from the event loop, never inside the close button's own click.
    auto decorator = std::make_unique<DefaultControllerDecorator>(controller.get());
    AlgorithmController* panel = controller.release(); // owned by the decorator as its child widget
    QPointer<DefaultControllerDecorator> frame(decorator.get());
    panel->signalCloseRequested.connect(
      [this, frame]
      {
          QMetaObject::invokeMethod(
            this,
            [this, frame]
            {
                if (!frame)
                    return;
                const AlgorithmController& closing = *frame->controller();
                const std::string loss = closing.unsavedWork();
                if (!loss.empty() && m_confirmClose && !m_confirmClose(closing, loss))
                    return;
                removeAlgorithm(closing.algorithm());
            },
            Qt::QueuedConnection);
      });
    DefaultControllerDecorator* opened = decorator.get();
    m_panels.push_back({ algorithm, std::move(decorator) });
    emit controllerOpened(opened);
    return opened;
}

void GuiApplicationController::forwardAlgorithmSignals(AlgorithmController& panel)
{
    // The connections belong to the panel, whose AlgorithmController part ends them (waiting for a running slot)
    // before its QObject part goes and drops what was posted to it.
    auto* widget = dynamic_cast<QWidget*>(&panel);
    Algorithm* algorithm = panel.algorithm();
    if (!widget || !algorithm)
        return;
    const auto post = [widget, p = &panel](void (AlgorithmController::*hook)())
    {
        QMetaObject::invokeMethod(
          widget, [p, hook] { (p->*hook)(); }, Qt::QueuedConnection);
    };
    algorithm->signalOutputChanged.connect(&panel, [post] { post(&AlgorithmController::onAlgorithmOutputChanged); });
    algorithm->signalParametersChanged.connect(&panel, [post](ParameterBase*)
                                               { post(&AlgorithmController::onAlgorithmParametersChanged); });
}

DefaultControllerDecorator* GuiApplicationController::decoratorOf(const AlgorithmController* controller) const
{
    const auto it = std::find_if(m_panels.begin(), m_panels.end(),
                                 [controller](const Panel& p) { return p.decorator->controller() == controller; });
    return it == m_panels.end() ? nullptr : it->decorator.get();
}

std::vector<DefaultControllerDecorator*> GuiApplicationController::controllers() const
{
    std::vector<DefaultControllerDecorator*> result;
    for (const Panel& panel : m_panels)
        result.push_back(panel.decorator.get());
    return result;
}

void GuiApplicationController::removeAlgorithm(Algorithm* algorithm)
{
    closePanel(algorithm);
    closeAlgorithm(algorithm);
}

void GuiApplicationController::closeAll()
{
    while (!m_panels.empty())
        removeAlgorithm(m_panels.back().algorithm);
}

std::unique_ptr<AlgorithmController> GuiApplicationController::createPanel(Algorithm* algorithm)
{
    for (KelvarosLibPlugin* plugin : libPlugins())
        if (const AlgorithmControllerFactory* factory = plugin->controllerFactory())
            if (std::unique_ptr<AlgorithmController> controller = factory->create(algorithm))
                return controller;
    auto panel = std::make_unique<DefaultAlgorithmController>(algorithm);
    panel->setComputeFunction([this](Algorithm* a) { return runAlgorithm(a); });
    return panel;
}

void GuiApplicationController::closePanel(Algorithm* algorithm)
{
    auto it = findPanel(algorithm);
    if (it == m_panels.end())
        return;
    emit controllerAboutToClose(it->decorator.get());
    // Look it up again: a slot may have closed it already.
    it = findPanel(algorithm);
    if (it == m_panels.end())
        return;
    std::unique_ptr<DefaultControllerDecorator> closing = std::move(it->decorator);
    m_panels.erase(it);
}

std::vector<GuiApplicationController::Panel>::iterator GuiApplicationController::findPanel(const Algorithm* algorithm)
{
    return std::find_if(m_panels.begin(), m_panels.end(),
                        [algorithm](const Panel& p) { return p.algorithm == algorithm; });
}

} // namespace Kelvaros
