#include "registration/LiveTrackingPointRegistrationController.h"

#include <algorithm>
#include <cmath>

#include <QColor>
#include <QDoubleSpinBox>
#include <QFont>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTableWidget>
#include <QVBoxLayout>

#include <Eigen/Geometry>
#include <fmt/format.h>

#include "gui/annotation/AnnotationModel.h"
#include "gui/annotation/PointCorrespondencesWidget.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/RegistrationHistoryComponent.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"

#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "ui_LiveTrackingPointRegistrationController.h"

namespace Kelvaros
{

namespace
{

/// Qt::UserRole - 1: the role through which a standard item model's item holds its flags; 0 makes an item
/// unselectable (and greyed) in a combo box.
constexpr int kItemEnabledRole = 255;

QString millimetres(double value)
{
    return std::isfinite(value) ? QString("%1 mm").arg(value, 0, 'f', 2) : QString("-");
}

/// How often the pointer warning reads the tracking target's calibration.
constexpr int kCalibrationWatchMs = 500;
const QColor kRed(200, 0, 0);
const QColor kGreen(0, 128, 0);
const QColor kGrey(110, 110, 110);

void setTextColor(QLabel* label, const QColor& color)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, color);
    label->setPalette(palette);
}

QColor residualColor(ResidualClass residualClass)
{
    switch (residualClass)
    {
        case ResidualClass::Fine:
            return QColor(0, 128, 0);
        case ResidualClass::High:
            return QColor(200, 120, 0);
        case ResidualClass::Outlier:
            break;
    }
    return kRed;
}

} // namespace

LiveTrackingPointRegistrationController::LiveTrackingPointRegistrationController(
  LiveTrackingPointRegistrationAlgorithm* algorithm)
  : AlgorithmController(algorithm),
    m_ui(std::make_unique<Ui::LiveTrackingPointRegistrationController>()),
    m_imagePointManipulator(algorithm->pointsOnImage(), false),
    m_trackedPointManipulator(algorithm->pointsOnTrackingStream()),
    m_algorithm(algorithm)
{
    m_ui->setupUi(this);
}

LiveTrackingPointRegistrationController::~LiveTrackingPointRegistrationController()
{
    disconnectAll();
}

std::string LiveTrackingPointRegistrationController::unsavedWork() const
{
    const int tracked = m_algorithm->pointsOnTrackingStream().size();
    const int image = m_algorithm->pointsOnImage().size();
    if (tracked == 0 && image == 0)
        return {};
    return fmt::format("{} tracked and {} image points", tracked, image);
}

void LiveTrackingPointRegistrationController::init()
{
    // Filling the instrument combos moves the type combo, which writes the type: keep the stored one for the end.
    const int storedType = m_algorithm->registrationType().value();
    connect(m_ui->pushButtonRegister, &QPushButton::clicked, this,
            &LiveTrackingPointRegistrationController::onRegister);
    connect(m_ui->comboBox_registrationType, qOverload<int>(&QComboBox::currentIndexChanged), this,
            &LiveTrackingPointRegistrationController::onRegistrationTypeChanged);
    connectInstrumentCombos();
    connectTrackedPoints();
    // Without a reference only global tracking applies; with one, anything else.
    if (storedType != LiveTrackingPointRegistrationAlgorithm::GlobalTracking &&
        m_algorithm->pointsOnTrackingStream().relativeTrackerId())
        m_ui->comboBox_registrationType->setCurrentIndex(storedType);
    m_imagePointManipulator.setPointColor(Eigen::Vector3d(1, 0, 0));
    m_trackedPointManipulator.setPointColor(Eigen::Vector3d(0, 1, 0));
    createCorrespondenceWidget();
    m_ui->pushButtonRegister->setToolTip(
      tr("<b>Register points</b><ul><li>Without relative device: Transforms image using registration matrix.</li>"
         "<li>With relative device: (e.g. use with ToolVisualization)<ul><li><i>Adjust calibration of relative "
         "tracker</i>: Updates the relative device's calibration matrix.</li><li><i>Adjust registration of "
         "volume</i>: Transforms image using registration matrix.</li></ul></li></ul>"));
    m_ui->doubleSpinBox_fle->setValue(m_algorithm->expectedFle().value());
    connect(m_ui->doubleSpinBox_fle, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this](double fle)
            {
                m_algorithm->expectedFle().setValue(fle);
                showQuality();
            });
    connect(m_ui->pushButton_pickTarget, &QPushButton::clicked, this,
            &LiveTrackingPointRegistrationController::onPickTarget);
    connect(m_ui->pushButton_restore, &QPushButton::clicked, this,
            &LiveTrackingPointRegistrationController::onRestorePrevious);
    setTextColor(m_ui->label_pointerWarning, kRed);
    connect(&m_calibrationWatch, &QTimer::timeout, this,
            &LiveTrackingPointRegistrationController::updatePointerWarning);
    m_calibrationWatch.start(kCalibrationWatchMs);
    updatePointerWarning();
    updateHistory();
}

void LiveTrackingPointRegistrationController::connectInstrumentCombos()
{
    PointsOnTrackingStream& points = m_algorithm->pointsOnTrackingStream();
    TrackingStream* stream = &m_algorithm->trackingStream();
    // Read before filling: a fill announces its first entry, which would replace the ids the set holds.
    const std::string trackerId = points.trackerId();
    const std::optional<std::string> relativeId = points.relativeTrackerId();

    connect(m_ui->comboBox_tool, &TrackingInstrumentComboBox::instrumentSelected, this,
            [this, &points](const std::string& id)
            {
                points.setTrackerId(id);
                updatePointerWarning();
            });
    m_ui->comboBox_tool->setSeparator(" : ");
    m_ui->comboBox_tool->initFromTrackingStream(
      stream, TrackingInstrumentComboBox::Id | TrackingInstrumentComboBox::Name, false);
    if (!trackerId.empty())
        m_ui->comboBox_tool->selectInstrument(trackerId);

    connect(m_ui->comboBox_relTool, &TrackingInstrumentComboBox::instrumentSelected, this,
            [this, &points](const std::string& id)
            {
                points.setRelativeTrackerId(id.empty() ? std::nullopt : std::optional<std::string>(id));
                onRelToolChanged(id);
            });
    m_ui->comboBox_relTool->setSeparator(" : ");
    m_ui->comboBox_relTool->initFromTrackingStream(
      stream, TrackingInstrumentComboBox::Id | TrackingInstrumentComboBox::Name, true);
    if (relativeId)
        m_ui->comboBox_relTool->selectInstrument(*relativeId);
    onRelToolChanged(relativeId.value_or(std::string()));
}

void LiveTrackingPointRegistrationController::connectTrackedPoints()
{
    PointsOnTrackingStream& points = m_algorithm->pointsOnTrackingStream();
    const auto lockInstruments = [this](bool locked)
    {
        m_ui->comboBox_tool->setEnabled(!locked);
        m_ui->comboBox_relTool->setEnabled(!locked);
    };
    points.signalPointsAdded.connect(this,
                                     [this, lockInstruments](int first, int end)
                                     {
                                         if (first < 0)
                                             m_ui->label_status->setText(
                                               tr("No point captured: the tracking target or the reference was not "
                                                  "tracked with a quality above 0.8."));
                                         else if (first < end)
                                             lockInstruments(true);
                                     });
    points.signalPointsRemoved.connect(this,
                                       [&points, lockInstruments](int, int)
                                       {
                                           if (points.empty())
                                               lockInstruments(false);
                                       });
    lockInstruments(!points.empty());

    // Figures of a fit say nothing about pairs added or removed since.
    for (PointsOnData* set :
         { static_cast<PointsOnData*>(&points), static_cast<PointsOnData*>(&m_algorithm->pointsOnImage()) })
    {
        const auto stale = [this](int first, int end)
        {
            if (first < end)
                clearQuality();
        };
        set->signalPointsAdded.connect(this, stale);
        set->signalPointsRemoved.connect(this, stale);
    }
}

void LiveTrackingPointRegistrationController::createCorrespondenceWidget()
{
    m_correspondenceWidget = new PointCorrespondencesWidget(m_algorithm->pointCorrespondences(),
                                                            m_imagePointManipulator, m_trackedPointManipulator);
    m_correspondenceWidget->init(display());
    m_correspondenceWidget->addFirstButton()->setText(tr("Add image point"));
    m_correspondenceWidget->addSecondButton()->setText(tr("Capture tracked point"));
    resetQualityColumns();
    auto* layout = new QVBoxLayout(m_ui->pointCorrespondences);
    layout->addWidget(m_correspondenceWidget);
}

void LiveTrackingPointRegistrationController::resetQualityColumns()
{
    m_correspondenceWidget->setExtraColumns({ tr("Residual"), tr("FRE without") });
    m_correspondenceWidget->table()->setHorizontalHeaderLabels({ tr("#"), tr("Image point"), tr("Image name"),
                                                                 tr("Tracked point"), tr("Tracked name"),
                                                                 tr("Residual"), tr("FRE without") });
}

void LiveTrackingPointRegistrationController::onRegister()
{
    m_algorithm->compute();
    m_ui->label_status->setText(QString::fromStdString(m_algorithm->statusMessage()));
    updateHistory();
    if (m_algorithm->status() != 0)
    {
        clearQuality();
        return;
    }
    m_fitted = true;
    showQuality();
}

void LiveTrackingPointRegistrationController::onRestorePrevious()
{
    clearQuality();
    m_ui->label_status->setText(
      m_algorithm->restorePreviousRegistration()
        ? tr("The previous registration is back in force; click again to redo the one undone.")
        : tr("There is no previous registration to restore."));
    updateHistory();
}

QString LiveTrackingPointRegistrationController::registrationInForce(const RegistrationHistoryComponent* history)
{
    const auto current = history ? history->current() : std::nullopt;
    if (current && current->provenance)
        return tr("In force: %1.").arg(QString::fromStdString(current->provenance->summary()));
    if (current)
        return tr("In force: the placement before the first registration recorded here.");
    return tr("No registration recorded for this volume yet.");
}

void LiveTrackingPointRegistrationController::updateHistory()
{
    const RegistrationHistoryComponent* history = m_algorithm->registrationHistory();
    m_ui->label_provenance->setText(registrationInForce(history));
    m_ui->pushButton_restore->setEnabled(history && history->previous());
}

void LiveTrackingPointRegistrationController::updatePointerWarning()
{
    const PointsOnTrackingStream& points = m_algorithm->pointsOnTrackingStream();
    const std::string id = points.trackerId();
    const bool warn = !id.empty() && !points.targetCalibrated();
    if (warn)
    {
        const auto* calibrations = m_algorithm->trackingStream().components().get<InstrumentCalibrationDataComponent>();
        const bool identity = calibrations && calibrations->calibration(id);
        m_ui->label_pointerWarning->setText(
          tr("Warning: the tracking target '%1' has %2, so a captured point is the origin of its marker frame, not "
             "its tip (unless the tracker reports the tip itself). Calibrate it before capturing; points captured now "
             "are named \"%3\".")
            .arg(QString::fromStdString(id), identity ? tr("an identity calibration") : tr("no calibration"),
                 PointsOnTrackingStream::kUncalibratedName));
    }
    m_ui->label_pointerWarning->setVisible(warn);
}

void LiveTrackingPointRegistrationController::onRelToolChanged(std::string id)
{
    QComboBox* type = m_ui->comboBox_registrationType;
    auto* model = qobject_cast<QStandardItemModel*>(type->model());
    if (id.empty())
    {
        if (model)
            model->item(0)->setEnabled(true);
        type->setCurrentIndex(LiveTrackingPointRegistrationAlgorithm::GlobalTracking);
        type->setEnabled(false);
        return;
    }
    type->setItemData(0, 0, kItemEnabledRole);
    if (type->currentIndex() == LiveTrackingPointRegistrationAlgorithm::GlobalTracking)
        type->setCurrentIndex(LiveTrackingPointRegistrationAlgorithm::AdjustVolumeRegistration);
    type->setEnabled(true);
}

void LiveTrackingPointRegistrationController::onRegistrationTypeChanged()
{
    const int index = m_ui->comboBox_registrationType->currentIndex();
    if (index >= 0)
        m_algorithm->registrationType().setValue(LiveTrackingPointRegistrationAlgorithm::RegistrationType(index));
}

void LiveTrackingPointRegistrationController::onPickTarget()
{
    if (!display())
        return;
    const Eigen::Vector3d world = display()->viewSlice(0)->sliceView().slice().origin();
    m_pickedTarget_Image = m_algorithm->volume().worldToImage(world);
    showQuality();
}

std::optional<Eigen::Vector3d> LiveTrackingPointRegistrationController::pathTarget_World() const
{
    GuiApplicationController* application = GuiApplicationController::of(*this);
    if (!application)
        return std::nullopt;
    const std::vector<InteractiveObject*> annotations =
      application->annotationModel().getAnnotations(&m_algorithm->volume());
    for (auto it = annotations.rbegin(); it != annotations.rend(); ++it)
        if (const auto* path = dynamic_cast<const GlSpline*>((*it)->graphicsObject()); path && !path->points().empty())
            return Eigen::Vector3d((path->matrix() * path->points().back().homogeneous()).head<3>());
    return std::nullopt;
}

std::pair<Eigen::Vector3d, QString> LiveTrackingPointRegistrationController::target(
  const std::vector<Eigen::Vector3d>& image) const
{
    if (m_pickedTarget_Image)
        return { *m_pickedTarget_Image, tr("the picked target") };
    if (const auto path = pathTarget_World())
        return { m_algorithm->volume().worldToImage(*path), tr("the path target") };
    Eigen::Vector3d centroid = Eigen::Vector3d::Zero();
    for (const Eigen::Vector3d& p : image)
        centroid += p;
    return { centroid / double(std::max<size_t>(image.size(), 1)), tr("the centroid of the landmarks") };
}

void LiveTrackingPointRegistrationController::clearQuality()
{
    m_fitted = false;
    m_quality.reset();
    m_ui->label_verdict->clear();
    m_ui->label_hint->clear();
    m_ui->label_targetError->clear();
    if (m_correspondenceWidget)
        resetQualityColumns();
}

void LiveTrackingPointRegistrationController::showQuality()
{
    if (!m_fitted)
        return;
    const auto& imagePoints = m_algorithm->pointsOnImage().imagePoints();
    const std::vector<Eigen::Vector3d> image(imagePoints.begin(),
                                             imagePoints.begin() + long(m_algorithm->correspondenceId()));
    const auto [target_Image, targetName] = target(image);
    m_quality = m_algorithm->judge(target_Image);
    if (!m_quality)
        return;
    for (size_t i = 0; i < m_quality->pairs.size(); ++i)
    {
        const PairQuality& pair = m_quality->pairs[i];
        m_correspondenceWidget->setExtraText(int(i), 0, millimetres(pair.residual), residualColor(pair.residualClass));
        m_correspondenceWidget->setExtraText(int(i), 1, millimetres(pair.freWithout));
    }
    const RegistrationQualityText text = RegistrationQuality::describe(*m_quality, targetName.toStdString());
    showVerdict(*m_quality, text);
    m_ui->label_targetError->setText(QString::fromStdString(text.fle + " " + text.tre));
    m_correspondenceWidget->table()->resizeColumnsToContents();
}

void LiveTrackingPointRegistrationController::showVerdict(const RegistrationQualityReport& report,
                                                          const RegistrationQualityText& text)
{
    const bool improbable = report.verdict == RegistrationVerdict::Improbable;
    m_ui->label_verdict->setText(QString::fromStdString(text.verdict));
    setTextColor(m_ui->label_verdict, improbable                                         ? kRed
                                      : report.verdict == RegistrationVerdict::Plausible ? kGreen
                                                                                         : kGrey);
    QFont font = m_ui->label_verdict->font();
    font.setBold(improbable);
    m_ui->label_verdict->setFont(font);
    if (improbable)
        m_ui->label_hint->setText(QString::fromStdString(text.worstPairs));
    else
        m_ui->label_hint->setText(report.suspect
                                    ? tr("Leave-one-out: check %1 without it.").arg(QString::fromStdString(report.hint))
                                    : tr("Leave-one-out: no pair stands out."));
}

} // namespace Kelvaros
