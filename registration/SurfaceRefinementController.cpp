#include "registration/SurfaceRefinementController.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/scene/GlMesh.h"
#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ViewGroup.h"
#include "lib/SharedImageSet.h"
#include "stream/TrackingStream.h"

#include "registration/GlSweepPoints.h"
#include "registration/LiveTrackingPointRegistrationController.h"
#include "registration/SurfaceRefinementAlgorithm.h"

namespace Kelvaros
{
namespace
{
constexpr int kSweepWatchMs = 200;

QLabel* wrappedLabel(QWidget* parent)
{
    auto* label = new QLabel(parent);
    label->setWordWrap(true);
    return label;
}
} // namespace

SurfaceRefinementController::SurfaceRefinementController(SurfaceRefinementAlgorithm* algorithm)
  : AlgorithmController(algorithm),
    m_algorithm(algorithm),
    m_tool(new TrackingInstrumentComboBox(this)),
    m_threshold(new QDoubleSpinBox(this)),
    m_extract(new QPushButton(tr("Extract surface"), this)),
    m_surfaceLabel(wrappedLabel(this)),
    m_record(new QPushButton(tr("Record surface points"), this)),
    m_clear(new QPushButton(tr("Clear points"), this)),
    m_pointsLabel(wrappedLabel(this)),
    m_refine(new QPushButton(tr("Refine registration"), this)),
    m_resultLabel(wrappedLabel(this)),
    m_historyLabel(wrappedLabel(this)),
    m_restore(new QPushButton(tr("Restore previous registration"), this)),
    m_sweep(std::make_unique<GlSweepPoints>())
{
    setObjectName("SurfaceRefinementController");
    m_tool->setObjectName("tool");
    m_threshold->setObjectName("threshold");
    m_extract->setObjectName("extractSurface");
    m_record->setObjectName("recordSweep");
    m_clear->setObjectName("clearSweep");
    m_refine->setObjectName("refine");
    m_pointsLabel->setObjectName("sweepCount");
    m_resultLabel->setObjectName("result");
    m_restore->setObjectName("restorePrevious");
    m_threshold->setRange(-100000.0, 100000.0);
    m_threshold->setDecimals(1);
    m_threshold->setToolTip(tr("The image value at the surface: skin in CT at about -500 HU, bone at about 300 HU"));
    m_record->setCheckable(true);
    buildLayout();
    connect(m_extract, &QPushButton::clicked, this, &SurfaceRefinementController::onExtractSurface);
    connect(m_record, &QPushButton::toggled, this, &SurfaceRefinementController::onRecordToggled);
    connect(m_clear, &QPushButton::clicked, this, &SurfaceRefinementController::onClearPoints);
    connect(m_refine, &QPushButton::clicked, this, &SurfaceRefinementController::onRefine);
    connect(m_restore, &QPushButton::clicked, this, &SurfaceRefinementController::onRestorePrevious);
    connect(m_threshold, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this](double value) { m_algorithm->threshold.setValue(value); });
    m_sweepWatch.setInterval(kSweepWatchMs);
    connect(&m_sweepWatch, &QTimer::timeout, this, &SurfaceRefinementController::refreshScene);
}

SurfaceRefinementController::~SurfaceRefinementController()
{
    m_algorithm->setRecording(false);
    if (!display())
        return;
    if (m_surface)
        display()->viewGroup(0)->removeObject(m_surface.get());
    display()->view3D()->glView().removeObject(m_sweep.get());
}

void SurfaceRefinementController::buildLayout()
{
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(tr("Pointer:"), m_tool);
    auto* surfaceRow = new QHBoxLayout;
    surfaceRow->addWidget(m_threshold, 1);
    surfaceRow->addWidget(m_extract);
    form->addRow(tr("Surface at:"), surfaceRow);
    layout->addLayout(form);
    layout->addWidget(m_surfaceLabel);
    auto* sweepRow = new QHBoxLayout;
    sweepRow->addWidget(m_record, 1);
    sweepRow->addWidget(m_clear);
    layout->addLayout(sweepRow);
    layout->addWidget(m_pointsLabel);
    layout->addWidget(m_refine);
    layout->addWidget(m_resultLabel);
    layout->addWidget(m_historyLabel);
    layout->addWidget(m_restore);
    layout->addStretch(1);
}

void SurfaceRefinementController::init()
{
    m_tool->initFromTrackingStream(&m_algorithm->stream(), TrackingInstrumentComboBox::Name, false);
    m_tool->keepInParameter(m_algorithm->tool);
    m_threshold->setValue(m_algorithm->threshold.value());
    m_surfaceLabel->setText(tr("No surface yet: extract it at the value of the skin (or bone) you will sweep."));
    if (display())
        display()->view3D()->glView().addObject(m_sweep.get());
    refreshScene();
    updateHistory();
}

void SurfaceRefinementController::onExtractSurface()
{
    if (m_algorithm->extractSurface())
    {
        const auto surface = std::make_shared<Mesh>(*m_algorithm->surface());
        if (m_surface)
            m_surface->setMesh(surface);
        else
        {
            m_surface = std::make_unique<GlMesh>(surface, "Registration surface");
            m_surface->setColor({ 0.85, 0.75, 0.6 });
            m_surface->setAlpha(0.35);
            m_surface->setLineColor({ 1.0, 0.85, 0.4, 1.0 });
            if (display())
                display()->viewGroup(0)->addObject(m_surface.get());
        }
    }
    m_surfaceLabel->setText(QString::fromStdString(m_algorithm->statusMessage()));
    refreshScene();
}

void SurfaceRefinementController::onRecordToggled(bool recording)
{
    m_algorithm->setRecording(recording);
    if (recording)
        m_sweepWatch.start();
    else
        m_sweepWatch.stop();
    refreshScene();
}

void SurfaceRefinementController::onClearPoints()
{
    m_algorithm->clearSweep();
    m_refinedCount = 0;
    refreshScene();
}

void SurfaceRefinementController::onRefine()
{
    m_record->setChecked(false);
    m_algorithm->compute();
    m_refinedCount = m_algorithm->sweep().size();
    showResult();
    updateHistory();
    refreshScene();
}

void SurfaceRefinementController::onRestorePrevious()
{
    m_algorithm->restorePreviousRegistration();
    updateHistory();
    refreshScene();
}

void SurfaceRefinementController::onAlgorithmOutputChanged()
{
    updateHistory();
    refreshScene();
}

std::string SurfaceRefinementController::unsavedWork() const
{
    const std::size_t count = m_algorithm->sweep().size();
    return count > m_refinedCount ? std::to_string(count) + " swept surface points" : std::string();
}

void SurfaceRefinementController::refreshScene()
{
    std::vector<Eigen::Vector3d> points = m_algorithm->sweep();
    // The sweep stops by itself at its limit; the button follows.
    if (m_record->isChecked() && !m_algorithm->isRecording())
        m_record->setChecked(false);
    QString count = tr("%n swept point(s)", nullptr, int(points.size()));
    if (m_algorithm->uncalibratedSamples() > 0)
        count += tr("; the pointer has no tip calibration, so its samples are left out: calibrate it first "
                    "(Streaming > Tracking Tool Calibration)");
    m_pointsLabel->setText(count);
    m_refine->setEnabled(m_algorithm->surface() && !points.empty());
    m_sweep->setPoints(std::move(points));
    if (m_surface)
        m_surface->setMatrix(m_algorithm->volume().matrix());
    if (display())
        display()->update();
}

void SurfaceRefinementController::showResult()
{
    const auto& fit = m_algorithm->lastFit();
    const bool applied = m_algorithm->status() == Algorithm::Success;
    QString text = QString::fromStdString(m_algorithm->statusMessage());
    if (fit && std::isfinite(fit->rmsInliersAfter))
        text = tr("RMS distance to the surface %1 → %2 mm over %3 of %4 points, %5 iterations.")
                 .arg(fit->rmsInliersBefore, 0, 'f', 2)
                 .arg(fit->rmsInliersAfter, 0, 'f', 2)
                 .arg(fit->inlierCount)
                 .arg(m_algorithm->sweep().size())
                 .arg(fit->iterations) +
               (m_algorithm->lastChangeAtCentre()
                  ? tr(" The volume's centre moved %1 mm.").arg(*m_algorithm->lastChangeAtCentre(), 0, 'f', 2)
                  : QString()) +
               "\n" + text;
    m_resultLabel->setText(text);
    const bool trusted = applied && fit && fit->error.empty();
    m_resultLabel->setStyleSheet(trusted   ? "color: rgb(0, 150, 60);"
                                 : applied ? "color: rgb(170, 110, 0);"
                                           : "color: rgb(200, 0, 0);");
}

void SurfaceRefinementController::updateHistory()
{
    const auto* history = m_algorithm->volume().components().get<RegistrationHistoryComponent>();
    m_historyLabel->setText(LiveTrackingPointRegistrationController::registrationInForce(history));
    m_restore->setEnabled(history && history->previous());
}

} // namespace Kelvaros
