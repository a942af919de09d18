#include "navigation/ToolNavigationVisualizationController.h"

#include <QSignalBlocker>
#include <QToolButton>

#include "core/Log.h"
#include "core/Properties.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "lib/SharedImageSet.h"

#include "navigation/NavigationScene.h"
#include "navigation/ToolNavigationDistanceWidget.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "ui_ToolNavigationVisualizationController.h"
#include "visualization/ToolVisualizationController.h"

namespace Kelvaros
{
namespace
{
// The panel's messages carry no category, as the scene's.
const std::string kNoCategory;

GlSpline* splineOf(const InteractiveObject* annotation)
{
    return annotation ? dynamic_cast<GlSpline*>(annotation->graphicsObject()) : nullptr;
}

/// The image a spline annotation was drawn on, or null.
const SharedImageSet* imageOf(const AnnotationModel& model, const GlSpline* spline)
{
    for (const InteractiveObject* annotation : model.getAnnotations())
        if (splineOf(annotation) == spline)
            return dynamic_cast<const SharedImageSet*>(model.parentData(annotation));
    return nullptr;
}
} // namespace

ToolNavigationVisualizationController::ToolNavigationVisualizationController(
  ToolNavigationVisualizationAlgorithm* algorithm, QWidget* parent)
  : QWidget(parent),
    AlgorithmController(algorithm),
    m_algorithm(algorithm),
    m_ui(std::make_unique<Ui::ToolNavigationVisualizationController>()),
    m_toolPanel(new ToolVisualizationController(&algorithm->toolVisualization())),
    m_toolFrame(new DefaultControllerDecorator(m_toolPanel, this))
{
    m_ui->setupUi(this);
    m_ui->verticalLayout->addWidget(m_toolFrame);
    // The embedded panel is not closed on its own: its algorithm belongs to this one.
    m_toolFrame->closeButton()->hide();
}

ToolNavigationVisualizationController::~ToolNavigationVisualizationController()
{
    // The embedded panel goes first, while the scene its updates move still exists.
    delete m_toolFrame;
}

void ToolNavigationVisualizationController::init()
{
    GuiApplicationController* application = GuiApplicationController::of(*this);
    if (display())
    {
        NavigationScene::ManipulatorFactory manipulators;
        if (application)
            manipulators = [application] { return application->annotationModel().createDefaultManipulator(); };
        m_scene =
          std::make_unique<NavigationScene>(*m_algorithm, display()->view3D()->volumeView(), std::move(manipulators));
        m_scene->signalChanged.connect(this, [this] { emit changed(); });
    }
    onAnnotationAdded();

    m_distance = new ToolNavigationDistanceWidget(this);
    connect(this, &ToolNavigationVisualizationController::changed, m_distance, qOverload<>(&QWidget::update));
    m_ui->verticalLayout_distanceWidget->addWidget(m_distance);

    m_toolPanel->setDisplay(display());
    m_toolPanel->setApplication(this->application());
    m_toolPanel->init();
    // The host frames only the panels it opens (decoratorOf knows no other), so this one has its own frame.
    m_toolFrame->setTitleOverride(tr("Tool Visualization"));
    connectWidgets();
    if (application)
    {
        connect(&application->annotationModel(), &AnnotationModel::annotationAdded, this,
                &ToolNavigationVisualizationController::onAnnotationAdded);
        connect(&application->annotationModel(), &AnnotationModel::annotationAboutToBeRemoved, this,
                &ToolNavigationVisualizationController::onAnnotationRemoved);
    }
    applySettings();
    onSelectSpline();
}

void ToolNavigationVisualizationController::connectWidgets()
{
    const auto apply = [this] { applySettings(); };
    connect(m_ui->doubleSpinBox_radius, qOverload<double>(&QDoubleSpinBox::valueChanged), this, apply);
    connect(m_ui->doubleSpinBox_growth, qOverload<double>(&QDoubleSpinBox::valueChanged), this, apply);
    connect(m_ui->spinBox_number, qOverload<int>(&QSpinBox::valueChanged), this, apply);
    for (QComboBox* choice : { m_ui->comboBox_type, m_ui->comboBox_separation, m_ui->comboBox_link,
                               m_ui->comboBox_visibility, m_ui->comboBox_centerLine })
        connect(choice, qOverload<int>(&QComboBox::currentIndexChanged), this, apply);
    connect(m_ui->spinBox_rotOffset, qOverload<int>(&QSpinBox::valueChanged), this,
            [this](int degrees)
            {
                if (m_scene)
                    m_scene->setRotationOffsetDegrees(degrees);
            });
    connect(m_toolPanel, &ToolVisualizationController::visualizationUpdated, this,
            &ToolNavigationVisualizationController::onVisualizationUpdated);
    connect(m_ui->pushButton_selectSpline, &QPushButton::clicked, this,
            &ToolNavigationVisualizationController::onSelectSpline);
}

NavigationSettings ToolNavigationVisualizationController::settings() const
{
    NavigationSettings settings;
    settings.targetRadius = m_ui->doubleSpinBox_radius->value();
    settings.pathType = PathType(m_ui->comboBox_type->currentIndex());
    settings.pathGrowth = m_ui->doubleSpinBox_growth->value();
    settings.pathSeparation = RingSpacing(m_ui->comboBox_separation->currentIndex());
    settings.ringsNumber = m_ui->spinBox_number->value();
    settings.linkTo = CameraLink(m_ui->comboBox_link->currentIndex());
    settings.ringVisibility = RingVisibility(m_ui->comboBox_visibility->currentIndex());
    settings.lineVisibility = CenterLineVisibility(m_ui->comboBox_centerLine->currentIndex());
    return settings;
}

void ToolNavigationVisualizationController::showSettings(const NavigationSettings& settings)
{
    // One change for the scene, not one per widget (each would remake the rings).
    const QSignalBlocker blockers[] = {
        QSignalBlocker(m_ui->doubleSpinBox_radius), QSignalBlocker(m_ui->comboBox_type),
        QSignalBlocker(m_ui->doubleSpinBox_growth), QSignalBlocker(m_ui->comboBox_separation),
        QSignalBlocker(m_ui->spinBox_number),       QSignalBlocker(m_ui->comboBox_link),
        QSignalBlocker(m_ui->comboBox_visibility),  QSignalBlocker(m_ui->comboBox_centerLine),
    };
    m_ui->doubleSpinBox_radius->setValue(settings.targetRadius);
    m_ui->comboBox_type->setCurrentIndex(int(settings.pathType));
    m_ui->doubleSpinBox_growth->setValue(settings.pathGrowth);
    m_ui->comboBox_separation->setCurrentIndex(int(settings.pathSeparation));
    m_ui->spinBox_number->setValue(settings.ringsNumber);
    m_ui->comboBox_link->setCurrentIndex(int(settings.linkTo));
    m_ui->comboBox_visibility->setCurrentIndex(int(settings.ringVisibility));
    m_ui->comboBox_centerLine->setCurrentIndex(int(settings.lineVisibility));
}

void ToolNavigationVisualizationController::configuration(Properties& properties) const
{
    settings().configuration(properties);
}

void ToolNavigationVisualizationController::configure(const Properties& properties)
{
    NavigationSettings settings = this->settings();
    settings.configure(properties);
    showSettings(settings);
    applySettings();
}

void ToolNavigationVisualizationController::applySettings()
{
    if (m_scene)
        m_scene->setSettings(settings());
    updateEnabling();
    requestDisplayUpdate();
}

void ToolNavigationVisualizationController::updateEnabling()
{
    const bool shapeFree = m_ui->comboBox_link->currentIndex() != int(CameraLink::Rings);
    for (QWidget* shape :
         std::initializer_list<QWidget*>{ m_ui->spinBox_number, m_ui->comboBox_type, m_ui->comboBox_separation })
        shape->setEnabled(shapeFree);
    m_ui->doubleSpinBox_growth->setEnabled(shapeFree && m_ui->comboBox_type->currentIndex() == int(PathType::Funnel));
}

void ToolNavigationVisualizationController::onVisualizationUpdated()
{
    if (!m_scene)
        return;
    m_scene->update();
    requestDisplayUpdate();
}

void ToolNavigationVisualizationController::onAnnotationAdded()
{
    GuiApplicationController* application = GuiApplicationController::of(*this);
    const QSignalBlocker blocker(m_ui->comboBox_splines);
    m_ui->comboBox_splines->clear();
    m_splinesByName.clear();
    if (!application)
        return;
    for (InteractiveObject* annotation : application->annotationModel().getAnnotations())
        if (GlSpline* spline = splineOf(annotation); spline && m_splinesByName.emplace(spline->name(), spline).second)
            m_ui->comboBox_splines->addItem(QString::fromStdString(spline->name()));
    if (const GlSpline* selected = m_scene ? m_scene->spline() : nullptr;
        selected && m_splinesByName.count(selected->name()))
        m_ui->comboBox_splines->setCurrentText(QString::fromStdString(selected->name()));
}

void ToolNavigationVisualizationController::onAnnotationRemoved(InteractiveObject* annotation)
{
    // Splines attached to a data object are dropped as well: the catalogue lists every spline and must not keep a
    // pointer to one that is going away.
    const GlSpline* removed = splineOf(annotation);
    if (!removed)
        return;
    const GlSpline* selected = m_scene ? m_scene->spline() : nullptr;
    if (selected && selected->name() == removed->name())
        Log::log(Log::Warning, kNoCategory, "The currently selected spline was removed, taking the next one available");
    const QString name = QString::fromStdString(removed->name());
    m_ui->comboBox_splines->removeItem(m_ui->comboBox_splines->findText(name, Qt::MatchExactly));
    m_splinesByName.erase(removed->name());
    onSelectSpline();
}

void ToolNavigationVisualizationController::onSelectSpline()
{
    if (m_scene)
        m_scene->dropSpline();
    const auto found = m_splinesByName.find(m_ui->comboBox_splines->currentText().toStdString());
    if (found == m_splinesByName.end())
        Log::log(Log::Error, kNoCategory,
                 "No splines could be found on the annotation model or the name is invalid (empty)");
    else if (m_scene)
    {
        GuiApplicationController* application = GuiApplicationController::of(*this);
        m_scene->selectSpline(found->second,
                              application ? imageOf(application->annotationModel(), found->second) : nullptr);
    }
    if (m_distance)
        m_distance->update();
    requestDisplayUpdate();
}

void ToolNavigationVisualizationController::requestDisplayUpdate()
{
    if (display())
        display()->update();
}

} // namespace Kelvaros
