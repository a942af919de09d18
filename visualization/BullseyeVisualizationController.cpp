#include "visualization/BullseyeVisualizationController.h"

#include <QToolButton>

#include "core/Log.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/ImageView3D.h"
#include "lib/SharedImageSet.h"

#include "ui_BullseyeVisualizationController.h"
#include "visualization/BullseyeScene.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/InsertionReadoutWidget.h"
#include "visualization/ToolFigurePremises.h"
#include "visualization/ToolVisualizationController.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "BullseyeVisualizationController";
constexpr const char* kNoLine = "No line annotation attached to input image";

/// The first line annotation of `image`, or null.
GlLine* firstLineOf(const AlgorithmController& panel, const Data* image)
{
    GuiApplicationController* application = GuiApplicationController::of(panel);
    if (!application || !image)
        return nullptr;
    for (InteractiveObject* annotation : application->annotationModel().getAnnotations(image, true))
        if (auto* line = dynamic_cast<GlLine*>(annotation->graphicsObject()))
            if (line->points().size() >= 2)
                return line;
    return nullptr;
}
} // namespace

BullseyeVisualizationController::BullseyeVisualizationController(BullseyeVisualizationAlgorithm* algorithm,
                                                                 QWidget* parent)
  : QWidget(parent),
    AlgorithmController(algorithm),
    m_algorithm(algorithm),
    m_ui(std::make_unique<Ui::BullseyeVisualizationController>()),
    m_scene(std::make_unique<BullseyeScene>(*algorithm)),
    m_toolPanel(new ToolVisualizationController(&algorithm->toolVisAlg())),
    m_toolFrame(new DefaultControllerDecorator(m_toolPanel, this))
{
    m_ui->setupUi(this);
    m_ui->verticalLayout->addWidget(m_toolFrame);
    // The embedded panel is not closed on its own: its algorithm belongs to this one.
    m_toolFrame->closeButton()->hide();
}

BullseyeVisualizationController::~BullseyeVisualizationController()
{
    if (m_scene->shown())
        hideLineLabel(false);
    m_lineGone.disconnect();
    // The embedded panel goes first, while the scene its updates move still exists.
    delete m_toolFrame;
}

void BullseyeVisualizationController::init()
{
    connect(m_ui->pushButton_startStop, &QPushButton::clicked, this, &BullseyeVisualizationController::onStartStop);
    connect(m_ui->pushButton_center, &QPushButton::clicked, this, &BullseyeVisualizationController::onCenter);
    m_toolPanel->setDisplay(display());
    m_toolPanel->setApplication(application());
    m_toolPanel->init();
    // The host frames only the panels it opens (decoratorOf knows no other), so this one has its own frame.
    m_toolFrame->setTitleOverride("Tool Visualization");
    connect(m_toolPanel, &ToolVisualizationController::visualizationUpdated, this,
            &BullseyeVisualizationController::updateVisualization);
    connect(m_toolPanel->readoutWidget(), &InsertionReadoutWidget::readoutChanged, this,
            [this](const InsertionReadout& readout) { m_scene->setReadout(readout); });
}

bool BullseyeVisualizationController::isRunning() const
{
    return m_scene->shown();
}

bool BullseyeVisualizationController::setUpScene()
{
    GlLine* line = firstLineOf(*this, m_algorithm->referenceImage());
    if (!line)
    {
        Log::log(Log::Error, kCategory, kNoLine);
        m_ui->label_status->setText(kNoLine);
        return false;
    }
    const Eigen::Vector3d target = line->points()[0];
    const Eigen::Vector3d entry = line->points()[1];
    m_scene->build(target, entry);
    m_line = line;
    m_lineLabelWasVisible = line->labelVisible();
    m_lineGone = line->signalDestroyed.connect([this](const GlObject*) { m_line = nullptr; });
    if (display())
        m_scene->attach(*display()->view3D(), *display()->viewGroup(0));
    m_toolPanel->setInsertionPath(entry, target, planRegion(m_algorithm->referenceImage(), { target, entry }));
    m_ui->label_status->clear();
    return true;
}

void BullseyeVisualizationController::onStartStop()
{
    if (!m_scene->isBuilt() && !setUpScene())
        return;
    const bool show = !m_scene->shown();
    m_ui->pushButton_startStop->setText(show ? "Stop" : "Start");
    m_scene->setShown(show);
    hideLineLabel(show);
    if (show)
    {
        onCenter();
        m_scene->update();
    }
    requestDisplayUpdate();
}

void BullseyeVisualizationController::onCenter()
{
    if (display())
        display()->view3D()->setMatrix(m_algorithm->createLookAtAlongNeedle(m_algorithm->p_viewDistance.value()),
                                       false);
}

void BullseyeVisualizationController::updateVisualization()
{
    if (m_scene->update())
        requestDisplayUpdate();
}

/// The line's length label stands at its middle, where the needle's tip and name are half way in, and the depth bar
/// tells what is left of the path.
void BullseyeVisualizationController::hideLineLabel(bool hide)
{
    if (m_line)
        m_line->setLabelVisible(!hide && m_lineLabelWasVisible);
}

void BullseyeVisualizationController::requestDisplayUpdate()
{
    if (display())
        display()->update();
}

} // namespace Kelvaros
