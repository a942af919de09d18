#include "visualization/ToolVisualizationController.h"

#include <algorithm>
#include <map>

#include <QLabel>
#include <QTimer>

#include "core/Log.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/controller/QtHelpers.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshIO.h"
#include "lib/numerics/Math.h"
#include "stream/LatestTrackingSample.h"
#include "stream/TrackingInstrument.h"
#include "stream/TrackingInstrumentFiducialsData.h"
#include "stream/TrackingStream.h"

#include "ui_ToolVisualizationController.h"
#include "visualization/InsertionReadoutWidget.h"
#include "visualization/SliceViewLinking.h"
#include "visualization/ToolPose.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{
namespace
{
const Eigen::Vector3d kSeenColor(1.0, 1.0, 0.0);
const Eigen::Vector3d kNotSeenColor(0.898, 0.223, 0.207);
const Eigen::Vector3d kUnassignedFiducialColor(0.8, 0.8, 0.8);
constexpr double kShininess = 100.0;
constexpr double kDirectionLength = 100.0;
constexpr double kSphereRadius = 5.0;
constexpr int kSphereSubdivisions = 32;
// Often enough that a stopped stream shows within a tenth of a second of turning stale.
constexpr int kStaleCheckMs = 100;

void setMeshColour(GlMesh& mesh, const Eigen::Vector3d& c)
{
    mesh.setColor(c);
    // White highlights whatever the colour, so a tool's shape reads under the head light.
    mesh.setFrontMaterial(c, c, Eigen::Vector3d::Ones(), kShininess);
    mesh.setBackMaterial(0.5 * c, 0.5 * c, Eigen::Vector3d::Ones(), kShininess);
    mesh.setWireframeColor((Eigen::Vector4d() << 0.8 * c, 1.0).finished());
    mesh.setLineColor((Eigen::Vector4d() << c, 1.0).finished());
}

std::unique_ptr<GlLine> createDirectionLine()
{
    auto line = std::make_unique<GlLine>();
    line->setName("Direction");
    line->setPoints({ Eigen::Vector3d::Zero(), Eigen::Vector3d(0, 0, -kDirectionLength) });
    line->setLabelVisible(false);
    line->setLineWidth(1.0);
    line->setPointSize(0.1);
    line->lineStipplePattern = 0xAAAA;
    line->lineStippleFactor = 2.0;
    return line;
}

/// One colour per instrument key of the fiducials (ascending keys, the empty id's key left out); empty without
/// assignments.
std::map<uint64_t, Eigen::Vector3d> instrumentColours(const TrackingInstrumentFiducialsData& fiducials)
{
    std::map<uint64_t, Eigen::Vector3d> colours;
    const uint64_t unassigned = TrackingInstrumentFiducialsData::instrumentKey("");
    for (uint64_t key : fiducials.instrumentKeys())
        if (key != unassigned)
            colours.emplace(key, Eigen::Vector3d::Zero());
    const std::vector<Eigen::Vector3d> unique = Math::generateUniqueColors(static_cast<int>(colours.size()), true);
    size_t i = 0;
    for (auto& entry : colours)
        entry.second = unique.at(i++);
    return colours;
}

/// The instruments the snapshot's sample saw, as a sample delivers them (poses with their calibrations applied).
std::vector<TrackingInstrument> seenInstruments(const TrackingSnapshot& snapshot)
{
    std::vector<TrackingInstrument> seen;
    for (const TrackingSnapshot::Instrument& instrument : snapshot.instruments)
        if (instrument.seen)
        {
            TrackingInstrument& added = seen.emplace_back();
            added.id = instrument.id;
            added.matrix = instrument.toolToTracker;
            added.quality = instrument.quality;
            added.tracked = true;
        }
    return seen;
}

int64_t microsecondsSince(std::chrono::steady_clock::time_point then)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - then).count();
}

Eigen::Matrix4d translation(const Eigen::Vector3d& point)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.block<3, 1>(0, 3) = point;
    return m;
}
} // namespace

ToolVisualizationController::ToolVisualizationController(ToolVisualizationAlgorithm* algorithm, QWidget* parent)
  : QWidget(parent),
    AlgorithmController(algorithm),
    m_algorithm(algorithm),
    m_ui(std::make_unique<Ui::ToolVisualizationController>()),
    m_readout(new InsertionReadoutWidget(this)),
    m_calibrationWarning(new QLabel(this)),
    m_staleTimer(new QTimer(this))
{
    m_ui->setupUi(this);
    m_calibrationWarning->setObjectName("label_calibrationWarning");
    m_calibrationWarning->setWordWrap(true);
    m_calibrationWarning->setStyleSheet("color: rgb(180, 0, 0);");
    m_calibrationWarning->hide();
    m_ui->verticalLayout->addWidget(m_calibrationWarning);
    m_ui->verticalLayout->addWidget(m_readout);
    m_readout->hide();
    connect(m_staleTimer, &QTimer::timeout, this, &ToolVisualizationController::checkStale);
    // The signal comes on the stream's thread; the queued invocation dies with this widget. One call waits at a
    // time: samples that come faster than the main thread draws would otherwise queue up and delay the newest.
    m_algorithm->signalToolUpdated.connect(this,
                                           [this]()
                                           {
                                               if (!m_frameDriven && !m_updateQueued.exchange(true))
                                                   QMetaObject::invokeMethod(this, "updateVisualization",
                                                                             Qt::QueuedConnection);
                                           });
}

ToolVisualizationController::~ToolVisualizationController()
{
    m_frameWatch.reset();
    disconnectAll();
    removeToolObjects();
    releaseSliceViews();
    if (display())
        for (const auto& sphere : m_spheres)
            display()->viewGroup(0)->removeObject(sphere->graphicsObject());
}

void ToolVisualizationController::init()
{
    auto& alg = *m_algorithm;
    auto& ui = *m_ui;
    connect(ui.comboBox_tool, &TrackingInstrumentComboBox::instrumentSelected, this,
            [&alg](const std::string& id) { alg.p_trackingTargetId.setValue(id); });
    connect(ui.comboBox_relTool, &TrackingInstrumentComboBox::instrumentSelected, this,
            [&alg](const std::string& id) { alg.p_trackingTargetRelId.setValue(id); });
    connect(ui.pushButton_startStop, &QPushButton::clicked, this, &ToolVisualizationController::onCompute);
    connect(ui.pushButton_updateRef, &QPushButton::clicked, this, &ToolVisualizationController::onUpdateRef);
    connect(ui.checkBox_linkViews, &QCheckBox::toggled, this, &ToolVisualizationController::onToggleLinkMPRs);
    connect(ui.checkBox_includeRotations, &QCheckBox::toggled, this, &ToolVisualizationController::onToggleLinkWithRot);
    connect(ui.checkBox_rawFiducials, &QCheckBox::toggled, this, &ToolVisualizationController::onToggleRawFiducials);
    const std::vector<std::pair<QCheckBox*, Parameter<bool>*>> flags{
        { ui.checkBox_snapToClosestAxis, &alg.p_snapToClosestAxis },
        { ui.checkBox_projectiveRendering, &alg.p_projectiveRendering },
        { ui.checkBox_ignoreInPlaneTranslation, &alg.p_ignoreInPlaneTranslation }
    };
    for (const auto& [box, parameter] : flags)
        connect(box, &QCheckBox::toggled, this, [parameter = parameter](bool b) { parameter->setValue(b); });

    QtHelpers::setSilent(ui.checkBox_linkViews, alg.p_linkMPRs.value());
    QtHelpers::setSilent(ui.checkBox_includeRotations, alg.p_linkWithRot.value());
    QtHelpers::setSilent(ui.checkBox_snapToClosestAxis, alg.p_snapToClosestAxis.value());
    QtHelpers::setSilent(ui.checkBox_projectiveRendering, alg.p_projectiveRendering.value());
    QtHelpers::setSilent(ui.checkBox_ignoreInPlaneTranslation, alg.p_ignoreInPlaneTranslation.value());
    QtHelpers::setSilent(ui.checkBox_rawFiducials, alg.p_showRawFiducials.value());
    ui.groupBox_mprOptions->setEnabled(alg.p_linkMPRs.value());
    ui.checkBox_snapToClosestAxis->setEnabled(alg.p_linkWithRot.value());

    const int entryFormat = TrackingInstrumentComboBox::Id | TrackingInstrumentComboBox::Name;
    for (auto* box : { ui.comboBox_tool, ui.comboBox_relTool })
        box->setSeparator(" : ");
    ui.comboBox_tool->selectInstrument(alg.p_trackingTargetId.value());
    ui.comboBox_relTool->selectInstrument(alg.p_trackingTargetRelId.value());
    ui.comboBox_tool->initFromTrackingStream(alg.trackingStream(), entryFormat, false);
    ui.comboBox_relTool->initFromTrackingStream(alg.trackingStream(), entryFormat, true);

    if (alg.p_autostart.value())
        onCompute();
}

bool ToolVisualizationController::isRunning() const
{
    return m_algorithm->isRunning();
}

GlMesh* ToolVisualizationController::toolMesh() const
{
    for (InteractiveObject* object : m_toolObjects)
        if (auto* mesh = dynamic_cast<GlMesh*>(object->graphicsObject()))
            return mesh;
    return nullptr;
}

void ToolVisualizationController::setInsertionPath(const Eigen::Vector3d& entry, const Eigen::Vector3d& target,
                                                   const std::optional<Eigen::AlignedBox3d>& region)
{
    m_hasPath = true;
    m_readout->setPath(entry, target, region);
    m_readout->show();
}

void ToolVisualizationController::onCompute()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_algorithm->isRunning())
        stop();
    else
        start();
}

void ToolVisualizationController::stop()
{
    m_algorithm->setRunning(false);
    m_ui->pushButton_startStop->setText("Start");
    m_frameWatch.reset();
    m_frameDriven = false;
    m_staleTimer->stop();
    m_calibrationWarning->hide();
    removeToolObjects();
    releaseSliceViews();
}

void ToolVisualizationController::removeToolObjects()
{
    // Each removal runs the object's callback, which takes it out of the list.
    if (AnnotationModel* model = annotationModel())
        for (InteractiveObject* object : std::vector<InteractiveObject*>(m_toolObjects))
            model->removeAnnotation(object);
    m_toolObjects.clear();
}

void ToolVisualizationController::start()
{
    m_algorithm->setRunning(true);
    m_ui->pushButton_startStop->setText("Stop");
    loadToolMesh();
    if (annotationModel())
    {
        if (m_mesh)
        {
            auto mesh = std::make_unique<GlMesh>(m_mesh);
            mesh->setUseFaceNormals(m_algorithm->p_useFaceNormals.value());
            mesh->setMaterialMode(0);
            setMeshColour(*mesh, kSeenColor);
            mesh->setLineWidth(2.0);
            mesh->setRenderMode3d(0);
            addToolObject(
              std::make_unique<InteractiveObject>(std::move(mesh), annotationModel()->createDefaultManipulator()),
              true);
        }
        addToolObject(
          std::make_unique<InteractiveObject>(createDirectionLine(), annotationModel()->createDefaultManipulator()),
          false);
    }
    m_algorithm->p_autostart.setValue(true);
    m_staleShown = false;
    m_staleTimer->start(kStaleCheckMs);
    if (display() && m_algorithm->trackingStream())
    {
        LatestTrackingSample& latest = m_algorithm->trackingStream()->latest();
        // Samples from before the start are not shown, as the algorithm drops those that arrive while stopped.
        m_shownSequence = latest.sequence();
        m_shownArrival.reset();
        m_frameDriven = true;
        m_frameWatch = display()->frameClock().watch(latest, [this](const TrackingSnapshot& frame, bool stale, bool)
                                                     { onFrame(frame, stale); });
    }
    requestDisplayUpdate();
}

void ToolVisualizationController::loadToolMesh()
{
    const std::string path = m_algorithm->p_mesh.value();
    std::unique_ptr<Mesh> mesh = MeshIO::loadFileIfPresent(path);
    if (!mesh)
        Log::log(Log::Warning, "", "Could not load tracking pointer mesh model. Path: " + path);
    m_mesh = std::move(mesh);
}

void ToolVisualizationController::addToolObject(std::unique_ptr<InteractiveObject> object, bool visible)
{
    InteractiveObject* raw = object.get();
    raw->addRemovalCallback(
      [this, raw]()
      { m_toolObjects.erase(std::remove(m_toolObjects.begin(), m_toolObjects.end(), raw), m_toolObjects.end()); });
    annotationModel()->addAnnotation(std::move(object));
    annotationModel()->ignoreAnnotationInHistory(raw);
    raw->setVisible(visible);
    m_toolObjects.push_back(raw);
}

void ToolVisualizationController::updateVisualization()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    // Cleared before the pose is read, so that a sample arriving from now on queues the next call.
    m_updateQueued = false;
    showTool(m_algorithm->snapshot());
}

void ToolVisualizationController::onFrame(const TrackingSnapshot& frame, bool stale)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_algorithm->isRunning())
            return;
        if (frame.sequence != m_shownSequence)
        {
            m_shownSequence = frame.sequence;
            m_shownArrival = frame.arrival;
            showTool(toolOf(frame));
        }
    }
    // In the frame in which the views grey the stream's instruments.
    if (stale)
        checkStale();
}

ToolSnapshot ToolVisualizationController::toolOf(const TrackingSnapshot& frame) const
{
    const TrackingStream& stream = *m_algorithm->trackingStream();
    const std::string targetId = m_algorithm->p_trackingTargetId.value();
    ToolSnapshot tool;
    tool.sinceLastSampleUs = frame.sequence > 0 ? microsecondsSince(frame.arrival) : kStaleAfterUs;
    tool.calibration = targetId.empty() ? ToolCalibrationKnowledge{} : calibrationKnowledge(stream, targetId);
    // The algorithm's rule, with identity calibrations: the snapshot's poses carry theirs already.
    ToolPoseInputs inputs;
    inputs.targetId = targetId;
    inputs.referenceId = m_algorithm->p_trackingTargetRelId.value();
    inputs.registration = stream.matrix();
    const ToolPose pose = toolPoseOf(seenInstruments(frame), inputs);
    if (pose.quality > m_algorithm->p_qualityThreshold.value() && pose.toolMatrix.allFinite())
        tool.toolMatrix = pose.toolMatrix;
    return tool;
}

void ToolVisualizationController::showTool(const ToolSnapshot& tool)
{
    m_staleShown = false;
    colourToolObjects(tool.toolMatrix, tool.toolMatrix.has_value());
    if (m_ui->checkBox_rawFiducials->isChecked())
        showFiducials(m_algorithm->lastRawFiducialData().get());
    linkSliceViews(tool.toolMatrix);
    showCalibrationWarning(tool);
    m_readout->setBreachSource(m_algorithm->trackingStream(), m_algorithm->p_trackingTargetId.value());
    m_readout->onSample(tool);
    // Without a path the read-out has only the breach warning's reading to show, and only when one measures the tool.
    m_readout->setVisible(m_hasPath || m_readout->readout().breach);
    emit visualizationUpdated();
    requestDisplayUpdate();
}

void ToolVisualizationController::checkStale()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const int64_t sinceLastSampleUs = !m_frameDriven   ? m_algorithm->snapshot().sinceLastSampleUs
                                      : m_shownArrival ? microsecondsSince(*m_shownArrival)
                                                       : kStaleAfterUs;
    if (m_staleShown || !m_algorithm->isRunning() || sinceLastSampleUs < kStaleAfterUs)
        return;
    // The last pose is where the tool was, not where it is: shown like a tool the tracker does not see.
    m_staleShown = true;
    colourToolObjects(std::nullopt, false);
    emit visualizationUpdated();
    requestDisplayUpdate();
}

void ToolVisualizationController::showCalibrationWarning(const ToolSnapshot& tool)
{
    const std::string target = m_algorithm->p_trackingTargetId.value();
    ToolCalibrationKnowledge knowledge = tool.calibration;
    // A tool's axis matters only where it is aimed at something.
    knowledge.axis = knowledge.axis || !m_hasPath;
    const std::string warning = target.empty() ? std::string() : calibrationWarning(knowledge, target);
    m_calibrationWarning->setText(QString::fromStdString(warning));
    m_calibrationWarning->setVisible(!warning.empty());
}

void ToolVisualizationController::colourToolObjects(const std::optional<Eigen::Matrix4d>& toolMatrix, bool seen)
{
    const Eigen::Vector3d& colour = seen ? kSeenColor : kNotSeenColor;
    for (InteractiveObject* object : m_toolObjects)
    {
        if (toolMatrix)
            object->graphicsObject()->setMatrix(*toolMatrix);
        if (auto* mesh = dynamic_cast<GlMesh*>(object->graphicsObject()))
        {
            setMeshColour(*mesh, colour);
            mesh->setRenderMode2d(m_algorithm->p_projectiveRendering.value() ? 1 : 0);
        }
    }
}

void ToolVisualizationController::showFiducials(const TrackingInstrumentFiducialsData* fiducials)
{
    if (!fiducials)
        return hideFiducials();
    while (m_spheres.size() < fiducials->size() && display())
    {
        auto sphere = std::make_unique<GlMesh>(
          std::shared_ptr<Mesh>(MeshCreator::createSphere(kSphereRadius, kSphereSubdivisions, false)));
        m_spheres.push_back(std::make_unique<InteractiveObject>(std::move(sphere)));
        display()->viewGroup(0)->addObject(m_spheres.back()->graphicsObject());
    }
    const std::map<uint64_t, Eigen::Vector3d> colours = instrumentColours(*fiducials);
    const std::vector<uint64_t>& keys = fiducials->instrumentKeys();
    for (size_t i = 0; i < m_spheres.size(); ++i)
    {
        const bool shown = i < fiducials->size();
        m_spheres[i]->setVisible(shown);
        if (!shown)
            continue;
        auto& mesh = static_cast<GlMesh&>(*m_spheres[i]->graphicsObject());
        mesh.setMatrix(translation(fiducials->points()[i]));
        mesh.setMaterialMode(0);
        const auto colour = i < keys.size() ? colours.find(keys[i]) : colours.end();
        mesh.setColor(colour != colours.end() ? colour->second : kUnassignedFiducialColor);
    }
}

void ToolVisualizationController::hideFiducials()
{
    for (const auto& sphere : m_spheres)
        sphere->setVisible(false);
}

void ToolVisualizationController::linkSliceViews(const std::optional<Eigen::Matrix4d>& toolMatrix)
{
    // An update queued before the stop must not take the views again once they were let go.
    if (!display() || !m_algorithm->isRunning())
        return;
    std::array<SliceViewLinking::View, 3> views;
    for (int k = 0; k < 3; ++k)
    {
        const ImageViewSlice& view = *display()->viewSlice(k);
        views[k] = { view.sliceView().slice().pose(), view.width(), view.height() };
    }
    const auto poses = SliceViewLinking::linkedPoses(toolMatrix, *m_algorithm, views);
    if (!poses)
        return;
    for (int k = 0; k < 3; ++k)
    {
        GlSliceView& view = display()->viewSlice(k)->sliceView();
        Slice slice = view.slice();
        slice.setPose((*poses)[k]);
        view.setSlice(slice);
    }
    m_viewsLinked = true;
}

void ToolVisualizationController::releaseSliceViews()
{
    // Left where the tool last put them, a view titled "Axial" could show any plane; the origin stays, so the
    // user keeps looking at where the tool was.
    if (!m_viewsLinked || !display())
        return;
    m_viewsLinked = false;
    display()->restoreAnatomicalPlanes();
}

void ToolVisualizationController::onUpdateRef()
{
    if (display())
        m_algorithm->updateReference(display()->viewSlice(0)->sliceView().slice().pose());
}

void ToolVisualizationController::onToggleLinkMPRs(bool link)
{
    m_algorithm->p_linkMPRs.setValue(link);
    m_ui->groupBox_mprOptions->setEnabled(link);
    if (!link)
        releaseSliceViews();
}

void ToolVisualizationController::onToggleLinkWithRot(bool withRotation)
{
    m_algorithm->p_linkWithRot.setValue(withRotation);
    m_ui->checkBox_snapToClosestAxis->setEnabled(withRotation);
    // Without rotations the views keep their orientation while following the tip: upright, not the last tilt.
    if (!withRotation)
        releaseSliceViews();
}

void ToolVisualizationController::onToggleRawFiducials(bool show)
{
    m_algorithm->p_showRawFiducials.setValue(show);
    if (!show)
        hideFiducials();
}

AnnotationModel* ToolVisualizationController::annotationModel() const
{
    GuiApplicationController* application = GuiApplicationController::of(*this);
    return application ? &application->annotationModel() : nullptr;
}

void ToolVisualizationController::requestDisplayUpdate()
{
    if (display())
        display()->update();
}

} // namespace Kelvaros
