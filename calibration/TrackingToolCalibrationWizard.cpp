#include "calibration/TrackingToolCalibrationWizard.h"

#include <algorithm>

#include <QEvent>
#include <QFormLayout>
#include <QFrame>
#include <QImage>
#include <QMessageBox>
#include <QMetaType>
#include <QVBoxLayout>

#include <Eigen/Geometry>

#include "core/Log.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlArrow.h"
#include "gui/scene/GlGrid.h"
#include "gui/scene/InteractiveButtonOverlay.h"
#include "gui/view/Camera.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/InteractionView3D.h"
#include "lib/numerics/Math.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"
#include "stream/TrackingStreamDisplayOptions.h"

#include "calibration/CalibrationProvenanceWidget.h"
#include "calibration/CalibrationVerificationWidget.h"
#include "calibration/IntroPage.h"
#include "calibration/SymmetryPage.h"
#include "calibration/TrackRecordPage.h"
#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"
#include "calibration/VerificationPage.h"
#include "ui_TrackingToolCalibrationWizard.h"
#include "visualization/ToolVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationController.h"

namespace Kelvaros
{
namespace
{
// The category the wizard's model logs under; the panel's own messages belong with them.
constexpr const char* kCategory = "TrackingToolCalibrationWizardAlgorithm";
const char* const kSphereMesh = ":/Navigation/Sphere.obj";
const char* const kPointerMesh = ":/TrackingPointer.obj";
constexpr double kArrowLength = 100.0;
// Distances of the eye from what the camera looks at (mm): the calibrated pivot point, seen obliquely from
// 566 · (e + u), is 800 mm away, as is the tool before there is a calibration.
constexpr double kCalibratedEyeDistance = 566.0;
constexpr double kToolEyeDistance = 800.0;
constexpr double kFocalLength = 0.8;
// Overlay anchor: the middle of the view's bottom edge.
constexpr int kBottomAnchor = 5;
const QString kInvalidSequence = QStringLiteral("Invalid tracking sequence");

/// The rotation turning +z onto the unit vector `up` (about their common normal). Opposite +z the closed form
/// divides by zero; any half turn about a horizontal axis does it there, and the one about x is chosen.
Eigen::Matrix3d rotationFromZ(const Eigen::Vector3d& up)
{
    const Eigen::Vector3d v = Eigen::Vector3d::UnitZ().cross(up);
    const double w = up.z();
    if (1.0 + w < 1e-9)
        return Eigen::Vector3d(1.0, -1.0, -1.0).asDiagonal();
    Eigen::Matrix3d k;
    k << 0.0, -v.z(), v.y(), v.z(), 0.0, -v.x(), -v.y(), v.x(), 0.0;
    return Eigen::Matrix3d::Identity() + k + k * k / (1.0 + w);
}

/// An information box with the given title and text and, below them, what happened and what to do.
void inform(QWidget* parent, const QString& title, const QString& text, const std::string& reason)
{
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
    box.setInformativeText(QString::fromStdString(reason));
    box.exec();
}

Stage stageOfPage(int page)
{
    // Pages after the flip step (such as a check of the result) show the tool as the flip step does.
    return page < int(Stage::None) ? Stage(page) : Stage::Symmetry;
}
} // namespace

TrackingToolCalibrationWizard::TrackingToolCalibrationWizard(TrackingToolCalibrationWizardAlgorithm* algorithm,
                                                             QWidget* parent)
  : QWidget(parent),
    AlgorithmController(algorithm),
    m_algorithm(algorithm),
    m_ui(std::make_unique<Ui::TrackingToolCalibrationWizard>()),
    m_recenterIcon(std::make_unique<QImage>(QStringLiteral(":/icons/Recenter.png"))),
    m_upAxisArrow(std::make_unique<GlArrow>("Up Axis")),
    m_grid(std::make_unique<GlGrid>(Eigen::Vector2d(10000.0, 10000.0), Eigen::Vector2d(100.0, 100.0))),
    m_toolVisualization(std::make_unique<ToolVisualizationAlgorithm>(algorithm->trackingStream(), nullptr)),
    m_toolVisualizationController(std::make_unique<ToolVisualizationController>(m_toolVisualization.get()))
{
    m_ui->setupUi(this);
    qRegisterMetaType<mat4>("mat4");

    m_upAxisArrow->setLabelText("Up Axis");
    m_upAxisArrow->setColor(Eigen::Vector3d(0.0, 1.0, 0.0));
    m_upAxisArrow->setShowLength(false);
    m_upAxisArrow->setVisible(false);
    m_grid->setLineColor(Eigen::Vector4d(0.4, 0.4, 0.4, 0.2));
    m_grid->setVisible(false);
    addCalibrationChecks();

    // Connected before the fill, which announces the instrument it selects.
    connect(m_ui->instrumentsComboBox, &TrackingInstrumentComboBox::instrumentSelected, this,
            &TrackingToolCalibrationWizard::onInstrumentSelected);
    m_ui->instrumentsComboBox->setSeparator(" : ");
    m_ui->instrumentsComboBox->initFromTrackingStream(
      algorithm->trackingStream(), TrackingInstrumentComboBox::Id | TrackingInstrumentComboBox::Name, false);

    connect(m_ui->nextButton, &QPushButton::clicked, this, &TrackingToolCalibrationWizard::onNextPage);
    connect(m_ui->backButton, &QPushButton::clicked, this, &TrackingToolCalibrationWizard::onPreviousPage);
    connect(m_ui->startStopButton, &QPushButton::toggled, this, &TrackingToolCalibrationWizard::onRecord);
    connect(m_ui->flipButton, &QPushButton::clicked, this, &TrackingToolCalibrationWizard::onFlip);
    connect(m_ui->cancelButton, &QPushButton::clicked, this, &TrackingToolCalibrationWizard::onCancel);
    m_ui->gifLabel->installEventFilter(this);
    // The label follows the panel's width; its animation must not hold the panel wider.
    m_ui->gifLabel->setMinimumSize(1, 1);

    algorithm->trackingStream()->signalStreamData.connect(
      this, [this, algorithm](const std::shared_ptr<const StreamData>& data) { onStreamData(*algorithm, data); });
}

void TrackingToolCalibrationWizard::addCalibrationChecks()
{
    // The instrument's calibration before the wizard, with "Restore previous calibration", under its choice.
    m_currentProvenance = new CalibrationProvenanceWidget(m_ui->instrumentsWidget);
    m_ui->formLayout->insertRow(1, m_currentProvenance);
    // The new calibration and its check on a divot, shown by the last page.
    m_verifyContent = new QWidget(m_ui->mainWidget);
    auto* layout = new QVBoxLayout(m_verifyContent);
    layout->setContentsMargins(9, 0, 9, 0);
    m_newProvenance = new CalibrationProvenanceWidget(m_verifyContent);
    m_verification = new CalibrationVerificationWidget(m_verifyContent);
    layout->addWidget(m_newProvenance);
    layout->addWidget(m_verification);
    m_ui->gifLayout->insertWidget(m_ui->gifLayout->indexOf(m_ui->instrumentsWidget) + 1, m_verifyContent);
    m_verifyContent->hide();
    // The divot touches the tip; nothing on it can tell whether the needle axis is right.
    m_divotNote = new QLabel(m_verifyContent);
    m_divotNote->setObjectName("label_divotChecksTipOnly");
    m_divotNote->setWordWrap(true);
    layout->addWidget(m_divotNote);
    // The rotation step's result: how well the axis is known and how steadily the tool turned.
    m_axisSummary = new QLabel(m_ui->mainWidget);
    m_axisSummary->setObjectName("label_axisSummary");
    m_axisSummary->setWordWrap(true);
    m_axisSummary->setContentsMargins(9, 0, 9, 0);
    m_ui->gifLayout->insertWidget(m_ui->gifLayout->indexOf(m_ui->instructionsWidget) + 1, m_axisSummary);
    m_axisSummary->hide();
}

TrackingToolCalibrationWizard::~TrackingToolCalibrationWizard()
{
    disconnectAll();
    clean();
    // The label must not show an animation of a page that goes before it.
    m_ui->gifLabel->clear();
}

void TrackingToolCalibrationWizard::init()
{
    setUpView();
    buildPages();
    buildStepLabels();
    setUpToolVisualization();
    // The GIF label must have its width before the first animation is scaled to it; laying the form out is
    // enough (showing it here would flash a window before the host frames the panel).
    ensurePolished();
    layout()->activate();
    changePage(0);
}

void TrackingToolCalibrationWizard::setUpView()
{
    m_view = display() ? display()->view3D() : nullptr;
    TrackingStream* stream = m_algorithm->trackingStream();
    auto& options = TrackingStreamDisplayOptions::of(*stream);
    m_savedDisplayOptions = std::make_unique<TrackingStreamDisplayOptions>(options);
    // The embedded tool visualization draws the tool; the stream's own axes would only clutter it.
    options.setInstrumentDisplay(TrackingStreamDisplayOptions::NoInstruments);
    options.setPathDisplay(TrackingStreamDisplayOptions::NoPath);
    if (!m_view)
        return;
    m_savedVisibleData = m_view->visibleData();
    m_view->glView().addObject(m_upAxisArrow.get());
    m_view->glView().addObject(m_grid.get());
    showStream();

    auto overlay = std::make_unique<InteractiveButtonOverlay>(kBottomAnchor);
    overlay->setVisible(true);
    overlay->setIcon(*m_recenterIcon);
    connect(overlay.get(), &InteractiveButtonOverlay::clicked, this, &TrackingToolCalibrationWizard::centerCamera);
    m_recenterOverlay = overlay.get();
    m_view->glView().addOverlay(std::move(overlay));
}

void TrackingToolCalibrationWizard::buildPages()
{
    m_pages.push_back(std::make_unique<IntroPage>(*m_ui));
    m_pages.push_back(std::make_unique<TrackRecordPage>(*m_ui, "Pivoting",
                                                        "Press Start and pivot the tool around the pointer tip",
                                                        ":/Navigation/ToolCalibration/pivoting.gif", false));
    m_pages.push_back(std::make_unique<TrackRecordPage>(*m_ui, "Rotation",
                                                        "Press Start and rotate the tool around the needle direction",
                                                        ":/Navigation/ToolCalibration/rotation.gif", false));
    m_pages.push_back(std::make_unique<SymmetryPage>(*m_ui));
    m_pages.push_back(std::make_unique<VerificationPage>(*m_ui, *m_verifyContent, *m_verification, *m_newProvenance,
                                                         m_algorithm->trackingStream()));
    for (const auto& page : m_pages)
        page->setView(m_view);
    completeRecordPagesHeld();
}

void TrackingToolCalibrationWizard::completeRecordPagesHeld()
{
    if (m_pages.size() <= size_t(Stage::Rotation))
        return;
    const auto& data = m_algorithm->calibrationData();
    m_pages[size_t(Stage::Pivoting)]->setComplete(data.pivoting != nullptr);
    m_pages[size_t(Stage::Rotation)]->setComplete(data.rotation != nullptr);
}

void TrackingToolCalibrationWizard::buildStepLabels()
{
    // The other steps stay readable: disabled text halfway between the text and the background.
    QPalette palette = m_ui->wizardStepsLabels->palette();
    const QColor text = palette.color(QPalette::Active, QPalette::WindowText);
    const QColor background = palette.color(QPalette::Active, QPalette::Window);
    palette.setColor(QPalette::Disabled, QPalette::WindowText,
                     QColor((text.red() + background.red()) / 2, (text.green() + background.green()) / 2,
                            (text.blue() + background.blue()) / 2));
    m_ui->wizardStepsLabels->setPalette(palette);
    QLayout* row = m_ui->wizardStepsLabels->layout();
    for (size_t i = 0; i < m_pages.size(); ++i)
    {
        if (i > 0)
        {
            auto* separator = new QFrame(m_ui->wizardStepsLabels);
            separator->setFrameShape(QFrame::VLine);
            separator->setLineWidth(2);
            row->addWidget(separator);
        }
        auto* label = new QLabel(QString("%1. %2").arg(i).arg(m_pages[i]->title()), m_ui->wizardStepsLabels);
        label->setAlignment(Qt::AlignCenter);
        row->addWidget(label);
        m_stepLabels.push_back(label);
    }
}

void TrackingToolCalibrationWizard::setUpToolVisualization()
{
    ToolVisualizationAlgorithm& tool = *m_toolVisualization;
    tool.p_trackingTargetId.setValue(m_algorithm->instrument());
    tool.p_showRawFiducials.setValue(true);
    tool.p_mesh.setValue(kSphereMesh);
    m_toolVisualizationController->setDisplay(display());
    m_toolVisualizationController->setApplication(application());
    m_toolVisualizationController->init();
    m_toolVisualizationController->onCompute();
}

void TrackingToolCalibrationWizard::onAlgorithmOutputChanged()
{
    QMetaObject::invokeMethod(this, "updateDisplay", Qt::QueuedConnection);
}

void TrackingToolCalibrationWizard::onNextPage()
{
    changePage(m_currentIndex + 1);
}

void TrackingToolCalibrationWizard::onPreviousPage()
{
    changePage(m_currentIndex - 1);
}

void TrackingToolCalibrationWizard::changePage(int page)
{
    if (!m_algorithm || page < 0)
        return;
    if (page >= pageCount())
    {
        accept();
        return;
    }
    for (size_t i = 0; i < m_stepLabels.size(); ++i)
    {
        QFont font = m_stepLabels[i]->font();
        font.setBold(int(i) == page);
        m_stepLabels[i]->setFont(font);
        m_stepLabels[i]->setEnabled(int(i) == page);
    }
    if (m_currentPage)
        m_currentPage->deactivate();
    m_currentIndex = page;
    m_currentPage = m_pages[size_t(page)].get();
    setStage(stageOfPage(page));

    m_ui->nextButton->show();
    for (QWidget* optional :
         { static_cast<QWidget*>(m_ui->startStopButton), m_ui->flipWidget, static_cast<QWidget*>(m_ui->gifLabel),
           m_ui->calibrationWidget, m_ui->instrumentsWidget, m_ui->guidedExpertWidget, m_verifyContent })
        optional->hide();
    showInstruction({}, false);
    m_currentProvenance->refresh();
    m_currentPage->activate();
    showAxisFigures();
    showStream();
    updateGUI();
}

void TrackingToolCalibrationWizard::setStage(Stage stage)
{
    if (stage == Stage::None)
        Log::log(Log::Error, kCategory, "Stage invalid, cannot be None");
    m_stage = stage;
    const bool recordStage = stage == Stage::Intro || stage == Stage::Pivoting || stage == Stage::Rotation;
    // Restarting the visualization is what loads the other mesh.
    if (m_toolVisualizationController->isRunning())
        m_toolVisualizationController->onCompute();
    m_toolVisualization->p_mesh.setValue(recordStage ? kSphereMesh : kPointerMesh);
    m_toolVisualizationController->onCompute();
    // The new mesh starts at the last pose rather than at the origin until the next sample (the tool may rest).
    m_toolVisualizationController->updateVisualization();
    centerCamera();
}

void TrackingToolCalibrationWizard::updateGUI()
{
    if (!m_algorithm || !m_currentPage)
        return;
    const bool complete = m_currentPage->isComplete();
    const bool recording = m_algorithm->isRecording();
    m_ui->nextButton->setVisible(complete);
    m_ui->nextButton->setEnabled(complete && !recording);
    m_ui->nextButton->setText(m_currentIndex == pageCount() - 1 ? "Finish" : "Next");
    m_ui->backButton->setEnabled(!recording && m_currentIndex > 0);
    m_ui->startStopButton->setText(recording ? "Stop" : "Start");
    m_ui->startStopButton->setIcon(QIcon(recording ? ":/PlaybackStop.png" : ":/PlaybackPlay.png"));
}

void TrackingToolCalibrationWizard::onInstrumentSelected(const std::string& id)
{
    if (!m_algorithm)
        return;
    m_hasToolMatrix = false;
    m_algorithm->setInstrument(id);
    // Another instrument drops the recordings: its steps must be recorded again.
    completeRecordPagesHeld();
    // The sphere must follow the tool being calibrated, not the one chosen when the wizard opened.
    m_toolVisualization->p_trackingTargetId.setValue(id);
    TrackingStream* stream = m_algorithm->trackingStream();
    m_currentProvenance->setSource(stream, id);
    m_newProvenance->setSource(stream, id);
    m_newProvenance->restoreButton()->hide(); // the wizard's own Cancel is the way back from a new calibration
    m_verification->setTool(id);
    m_upAxisArrow->setVisible(false);
    m_grid->setVisible(false);
}

void TrackingToolCalibrationWizard::onRecord(bool checked)
{
    if (!m_algorithm)
        return;
    auto& options = TrackingStreamDisplayOptions::of(*m_algorithm->trackingStream());
    if (checked)
    {
        options.setPathDisplay(TrackingStreamDisplayOptions::Recording);
        m_algorithm->startRecording();
        updateGUI();
        return;
    }
    std::unique_ptr<TrackingSequence> recording = m_algorithm->stopRecording();
    if (!recording)
    {
        const std::string reason = "No pose of the instrument was recorded. Check that its markers are in view of the "
                                   "tracker (it is then listed as tracked) and record again.";
        Log::log(Log::Warning, kCategory, reason);
        inform(this, "Warning", "Recording not valid", reason);
    }
    options.setPathDisplay(TrackingStreamDisplayOptions::NoPath);
    showStream();
    bool complete = recording != nullptr;
    if (recording && (m_stage == Stage::Pivoting || m_stage == Stage::Rotation))
        complete = storeRecording(std::move(recording));
    m_currentPage->setComplete(complete);
    updateGUI();
}

bool TrackingToolCalibrationWizard::storeRecording(std::unique_ptr<TrackingSequence> recording)
{
    TrackingSequence* sequence = recording.get();
    const bool pivoting = m_stage == Stage::Pivoting;
    const bool stored =
      pivoting ? m_algorithm->setPivoting(std::move(recording)) : m_algorithm->setRotation(std::move(recording));
    if (!stored)
    {
        // The algorithm logged the reason.
        inform(this, kInvalidSequence,
               pivoting ? "Number of valid matrices too small in recorded tracking sequence"
                        : "Rotation around needle tip is too small",
               m_algorithm->refusal());
        return false;
    }
    const bool calibrated = calibrate();
    showStream(sequence);
    return calibrated;
}

bool TrackingToolCalibrationWizard::calibrate()
{
    m_algorithm->compute();
    centerGrid();
    centerCamera();
    showAxisFigures();
    if (m_algorithm->status() != Algorithm::Success)
    {
        // The algorithm gave the instrument back its earlier calibration; nothing may pass for a result.
        showInstruction(QString::fromStdString(m_algorithm->statusMessage()), true);
        return false;
    }
    return true;
}

void TrackingToolCalibrationWizard::showAxisFigures()
{
    // Only this wizard's own result counts: after a failure the instrument holds its earlier calibration again.
    std::optional<InstrumentCalibrationDataComponent::Provenance> provenance;
    const auto* calibrations = m_algorithm->trackingStream()->components().get<InstrumentCalibrationDataComponent>();
    if (calibrations && m_algorithm->status() == Algorithm::Success && m_algorithm->calibrationData().rotation)
        provenance = calibrations->provenance(m_algorithm->instrument());
    const QString summary = provenance ? CalibrationProvenanceWidget::axisSummary(*provenance) : QString();
    m_axisSummary->setText(summary);
    m_axisSummary->setVisible(m_currentIndex == int(Stage::Rotation) && !summary.isEmpty());
    m_divotNote->setText(summary.isEmpty() ? tr("The divot checks the tip only; no needle axis was calibrated.")
                                           : tr("The divot checks the tip only, not the needle axis: judge the axis "
                                                "by its predicted error and tilt above."));
}

void TrackingToolCalibrationWizard::onFlip(bool checked)
{
    if (!m_algorithm)
        return;
    m_algorithm->setFlip(checked);
    calibrate();
}

void TrackingToolCalibrationWizard::onCancel()
{
    if (!m_algorithm)
        return;
    if (m_algorithm->isRecording())
        (void)m_algorithm->stopRecording(); // an unfinished recording is dropped
    m_algorithm->reset();
    finish();
}

void TrackingToolCalibrationWizard::accept()
{
    const CalibrationVerification::Result& check = m_verification->result();
    if (check.state == CalibrationVerification::State::Measured && !check.passed &&
        QMessageBox::warning(this, "Calibration check failed",
                             QString("The tip is %1 mm from the divot, more than the pass mark of %2 mm. Keep this "
                                     "calibration anyway?")
                               .arg(check.distanceMm, 0, 'f', 2)
                               .arg(m_verification->settings().passMarkMm, 0, 'f', 2),
                             QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Cancel) != QMessageBox::Ok)
        return;
    m_algorithm->accept();
    finish();
}

void TrackingToolCalibrationWizard::finish()
{
    disconnectAll();
    clean();
    setEnabled(false);
    if (GuiApplicationController* application = GuiApplicationController::of(*this))
    {
        // Not from inside the click that got here: the application deletes this panel on the way.
        Algorithm* algorithm = m_algorithm;
        QMetaObject::invokeMethod(
          application, [application, algorithm] { application->removeAlgorithm(algorithm); }, Qt::QueuedConnection);
    }
    m_algorithm = nullptr;
    // Queued after the removal, which deletes a framed panel first; an unframed one goes here.
    deleteLater();
}

void TrackingToolCalibrationWizard::clean()
{
    if (m_toolVisualizationController->isRunning())
        m_toolVisualizationController->onCompute();
    if (m_view)
    {
        if (m_recenterOverlay)
            m_view->glView().removeOverlay(m_recenterOverlay).reset();
        m_recenterOverlay = nullptr;
        m_view->glView().removeObject(m_grid.get());
        m_view->glView().removeObject(m_upAxisArrow.get());
        m_view->setVisibleData(stillPresent(m_savedVisibleData));
    }
    if (m_algorithm && m_savedDisplayOptions)
        TrackingStreamDisplayOptions::of(*m_algorithm->trackingStream()).assign(*m_savedDisplayOptions);
}

DataList TrackingToolCalibrationWizard::stillPresent(const DataList& data) const
{
    // The view goes back to what it showed before the wizard, less what was removed meanwhile; without an
    // application to ask, nothing is known to be alive and the view is left empty.
    DataList present;
    const GuiApplicationController* application = GuiApplicationController::of(*this);
    if (!application)
        return present;
    const DataList all = application->dataList();
    for (Data* item : data.items())
        if (std::find(all.items().begin(), all.items().end(), item) != all.items().end())
            present.add(item);
    return present;
}

void TrackingToolCalibrationWizard::showInstruction(const QString& text, bool failure)
{
    if (!text.isEmpty())
        m_ui->titleLabel->setText(text);
    m_ui->titleLabel->setStyleSheet(failure ? "color: red;" : QString());
}

void TrackingToolCalibrationWizard::showStream(TrackingSequence* recording)
{
    if (!m_view || !m_algorithm)
        return;
    DataList data{ m_algorithm->trackingStream() };
    if (recording)
        data.add(recording);
    m_view->setVisibleData(data);
}

void TrackingToolCalibrationWizard::onStreamData(const TrackingToolCalibrationWizardAlgorithm& algorithm,
                                                 const std::shared_ptr<const StreamData>& data)
{
    const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!sample)
        return;
    const std::string id = algorithm.instrument();
    for (const TrackingInstrument& instrument : sample->instrumentList())
        if (instrument.ID() == id)
        {
            QMetaObject::invokeMethod(this, "updateInstrument", Qt::QueuedConnection, Q_ARG(mat4, instrument.matrix),
                                      Q_ARG(double, instrument.quality));
            return;
        }
}

void TrackingToolCalibrationWizard::updateInstrument(mat4 matrix, double quality)
{
    if (!m_algorithm)
        return;
    if (quality > 0.0)
    {
        m_toolMatrix = matrix;
        if (!m_hasToolMatrix)
        {
            m_hasToolMatrix = true;
            centerCamera();
        }
    }
    requestRepaint();
}

void TrackingToolCalibrationWizard::updateDisplay()
{
    requestRepaint();
}

void TrackingToolCalibrationWizard::requestRepaint()
{
    if (m_view)
        m_view->requestUpdate();
}

void TrackingToolCalibrationWizard::centerGrid()
{
    const std::optional<Eigen::Vector3d> origin = m_algorithm->origin();
    const std::optional<Eigen::Vector3d> up = m_algorithm->upAxisWorld();
    const bool calibrated = origin && up;
    m_upAxisArrow->setVisible(calibrated);
    m_grid->setVisible(calibrated);
    if (!calibrated)
        return;
    m_upAxisArrow->setPoints({ *origin, *origin + kArrowLength * *up });
    Eigen::Matrix4d placement = Eigen::Matrix4d::Identity();
    placement.topLeftCorner<3, 3>() = rotationFromZ(Math::normalizedOrZero(*up));
    placement.topRightCorner<3, 1>() = *origin;
    m_grid->setMatrix(placement);
}

void TrackingToolCalibrationWizard::centerCamera()
{
    if (!m_view)
        return;
    Camera camera = m_view->volumeView().camera();
    const Eigen::Vector3d p = camera.position();
    const std::optional<Eigen::Vector3d> origin = m_algorithm ? m_algorithm->origin() : std::nullopt;
    const std::optional<Eigen::Vector3d> up = m_algorithm ? m_algorithm->upAxisWorld() : std::nullopt;
    if (origin && up)
    {
        m_view->interaction().setSceneCenter(*origin);
        const Eigen::Vector3d d = Math::normalizedOrZero(p - *origin);
        const Eigen::Vector3d e = up->cross(d.cross(*up));
        camera.setLookAt(*origin + kCalibratedEyeDistance * (e + *up), *origin, *up);
    }
    else
    {
        const Eigen::Vector3d m =
          m_hasToolMatrix ? Eigen::Vector3d(m_toolMatrix.topRightCorner<3, 1>()) : Eigen::Vector3d::Zero();
        m_view->interaction().setSceneCenter(m);
        camera.setLookAt(m + kToolEyeDistance * Math::normalizedOrZero(p - m), m, camera.upVector());
    }
    camera.setFocalLength(Eigen::Vector2d(kFocalLength, kFocalLength));
    m_view->volumeView().setCamera(camera);
    m_view->requestUpdate();
}

bool TrackingToolCalibrationWizard::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_ui->gifLabel && event->type() == QEvent::Resize && m_currentPage)
        m_currentPage->scaleMovieTo(m_ui->gifLabel->width());
    return QWidget::eventFilter(watched, event);
}

} // namespace Kelvaros
