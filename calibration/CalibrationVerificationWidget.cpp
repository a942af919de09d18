#include "calibration/CalibrationVerificationWidget.h"

#include <utility>

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QSignalBlocker>
#include <QUrl>
#include <QVBoxLayout>

#include "gui/controller/QtHelpers.h"
#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{
namespace
{
const QString kGroup = QStringLiteral("Navigation/CalibrationVerification");
const QString kLastReferenceKey = QStringLiteral("lastReference");
const QString kDivotKey = QStringLiteral("divot");
const QString kPassMarkKey = QStringLiteral("passMarkMm");
constexpr int kEntryFormat = TrackingInstrumentComboBox::Id | TrackingInstrumentComboBox::Name;
constexpr double kDivotRangeMm = 10000.0;

/// The settings group of one reference. Ids are percent-encoded because QSettings reads '/' as a group separator;
/// "(tracker)" cannot collide with an encoded id, whose parentheses would be encoded.
QString referenceGroup(const std::string& referenceId)
{
    const QString key = referenceId.empty()
                          ? QStringLiteral("(tracker)")
                          : QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(referenceId)));
    return kGroup + "/" + key;
}

CalibrationVerification::Settings loadSettings(const std::string& referenceId)
{
    QSettings store;
    store.beginGroup(referenceGroup(referenceId));
    CalibrationVerification::Settings settings;
    settings.referenceId = referenceId;
    settings.passMarkMm = store.value(kPassMarkKey, settings.passMarkMm).toDouble();
    const QVariantList divot = store.value(kDivotKey).toList();
    if (divot.size() == 3)
        settings.divot_Reference = Eigen::Vector3d(divot[0].toDouble(), divot[1].toDouble(), divot[2].toDouble());
    return settings;
}

void saveSettings(const CalibrationVerification::Settings& settings)
{
    QSettings store;
    store.beginGroup(referenceGroup(settings.referenceId));
    store.setValue(kPassMarkKey, settings.passMarkMm);
    if (const auto& divot = settings.divot_Reference)
        store.setValue(kDivotKey, QVariantList{ divot->x(), divot->y(), divot->z() });
}

QDoubleSpinBox* millimetreBox(double minimum, double maximum, const QString& prefix, QWidget* parent)
{
    auto* box = new QDoubleSpinBox(parent);
    box->setRange(minimum, maximum);
    box->setDecimals(2);
    box->setSingleStep(0.1);
    box->setPrefix(prefix);
    box->setSuffix(QStringLiteral(" mm"));
    box->setAlignment(Qt::AlignRight);
    return box;
}

QString resultText(const CalibrationVerification::Result& result)
{
    switch (result.state)
    {
        case CalibrationVerification::State::NoDivot:
            return QObject::tr("Set the divot position");
        case CalibrationVerification::State::ToolNotSeen:
            return QObject::tr("Tool not visible");
        case CalibrationVerification::State::ReferenceNotSeen:
            return QObject::tr("Reference not visible");
        case CalibrationVerification::State::Measured:
            break;
    }
    return QObject::tr("Tip to divot: %1 mm - %2")
      .arg(result.distanceMm, 0, 'f', 2)
      .arg(result.passed ? QObject::tr("pass") : QObject::tr("fail"));
}

QString resultStyle(const CalibrationVerification::Result& result)
{
    const char* colour = result.state != CalibrationVerification::State::Measured ? "rgb(128, 128, 128)"
                         : result.passed                                          ? "rgb(0, 150, 60)"
                                                                                  : "rgb(200, 0, 0)";
    return QStringLiteral("color: %1; font-weight: bold;").arg(colour);
}
} // namespace

CalibrationVerificationWidget::CalibrationVerificationWidget(QWidget* parent)
  : QWidget(parent),
    m_reference(new TrackingInstrumentComboBox(this)),
    m_passMark(millimetreBox(0.01, 100.0, QString(), this)),
    m_setFromTip(new QPushButton(tr("Set divot from tip"), this)),
    m_resultLabel(new QLabel(this))
{
    buildLayout();
    for (QDoubleSpinBox* box : m_divot)
        connect(box, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
                &CalibrationVerificationWidget::onDivotEdited);
    connect(m_passMark, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            &CalibrationVerificationWidget::onPassMarkEdited);
    connect(m_setFromTip, &QPushButton::clicked, this, &CalibrationVerificationWidget::onSetDivotFromTip);
    connect(m_reference, &TrackingInstrumentComboBox::instrumentSelected, this,
            &CalibrationVerificationWidget::onReferenceSelected);

    m_reference->setEmptyChoiceText(tr("Tracker"));
    m_reference->initFromTrackingStream(nullptr, kEntryFormat, true);
    m_reference->selectInstrument(QSettings().value(kGroup + "/" + kLastReferenceKey).toString().toStdString());
}

void CalibrationVerificationWidget::buildLayout()
{
    auto* divotRow = new QHBoxLayout;
    const char* axes[] = { "x ", "y ", "z " };
    for (size_t i = 0; i < m_divot.size(); ++i)
    {
        m_divot[i] = millimetreBox(-kDivotRangeMm, kDivotRangeMm, QString::fromLatin1(axes[i]), this);
        divotRow->addWidget(m_divot[i]);
    }
    // On a row of its own: beside the three fields it made the panel so wide that the views were squeezed to strips.
    auto* fromTipRow = new QHBoxLayout;
    fromTipRow->addWidget(m_setFromTip);
    fromTipRow->addStretch();

    auto* passMarkRow = new QHBoxLayout;
    passMarkRow->addWidget(m_passMark);
    passMarkRow->addStretch();

    auto* hint = new QLabel(tr("Touch the divot with the tool's tip and hold it there."), this);
    hint->setWordWrap(true);
    auto* form = new QFormLayout;
    form->addRow(hint);
    form->addRow(tr("Reference"), m_reference);
    form->addRow(tr("Divot"), divotRow);
    form->addRow(QString(), fromTipRow);
    form->addRow(tr("Pass mark"), passMarkRow);

    QFont font = m_resultLabel->font();
    font.setPointSizeF(font.pointSizeF() * 1.6);
    m_resultLabel->setFont(font);
    m_resultLabel->setAlignment(Qt::AlignCenter);
    m_resultLabel->setMinimumHeight(m_resultLabel->fontMetrics().height() * 2);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(m_resultLabel);
    layout->addStretch();
}

CalibrationVerificationWidget::~CalibrationVerificationWidget()
{
    // No sample enters once this returns; the one call that may be queued is then cancelled before it can run.
    disconnectAll();
    std::shared_ptr<QtHelpers::MainThreadCall> call;
    {
        std::lock_guard<std::mutex> lock(m_incomingMutex);
        call.swap(m_call);
    }
    // Outside the lock: the call takes it while cancel holds the call's own.
    if (call)
        call->cancel();
}

void CalibrationVerificationWidget::setStream(TrackingStream* stream)
{
    disconnectAll();
    {
        std::lock_guard<std::mutex> lock(m_incomingMutex);
        m_incoming.reset();
    }
    m_sample.reset();
    m_stream = stream;
    m_reference->initFromTrackingStream(stream, kEntryFormat, true);
    if (stream)
        stream->signalStreamData.connect(this, &CalibrationVerificationWidget::onStreamData);
    evaluate();
}

void CalibrationVerificationWidget::setTool(std::string id)
{
    m_toolId = std::move(id);
    m_verification.restartSmoothing();
    evaluate();
}

// Stream thread: keeps the newest sample and queues one call unless one is waiting already.
void CalibrationVerificationWidget::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    auto sample = std::dynamic_pointer_cast<const TrackingStreamData>(data);
    if (!sample)
        return;
    std::lock_guard<std::mutex> lock(m_incomingMutex);
    m_incoming = std::move(sample);
    if (m_callQueued)
        return;
    m_callQueued = true;
    m_call = QtHelpers::runOnMainThread([this] { takeSample(); });
}

void CalibrationVerificationWidget::takeSample()
{
    {
        // Cleared together with taking the sample, so that a sample arriving from now on queues the next call.
        std::lock_guard<std::mutex> lock(m_incomingMutex);
        m_callQueued = false;
        if (m_incoming)
            m_sample = std::move(m_incoming);
    }
    evaluate();
}

void CalibrationVerificationWidget::onReferenceSelected(const std::string& id)
{
    QSettings().setValue(kGroup + "/" + kLastReferenceKey, QString::fromStdString(id));
    m_verification.setSettings(loadSettings(id));
    showSettings();
    evaluate();
}

void CalibrationVerificationWidget::onDivotEdited()
{
    CalibrationVerification::Settings settings = m_verification.settings();
    settings.divot_Reference = Eigen::Vector3d(m_divot[0]->value(), m_divot[1]->value(), m_divot[2]->value());
    storeSettings(std::move(settings));
}

void CalibrationVerificationWidget::onPassMarkEdited(double mm)
{
    CalibrationVerification::Settings settings = m_verification.settings();
    settings.passMarkMm = mm;
    storeSettings(std::move(settings));
}

void CalibrationVerificationWidget::storeSettings(CalibrationVerification::Settings settings)
{
    saveSettings(settings);
    m_verification.setSettings(std::move(settings));
    evaluate();
}

void CalibrationVerificationWidget::onSetDivotFromTip()
{
    if (!m_verification.setDivotFromTip())
        return;
    saveSettings(m_verification.settings());
    showSettings();
    evaluate();
}

void CalibrationVerificationWidget::showSettings()
{
    const CalibrationVerification::Settings& settings = m_verification.settings();
    const Eigen::Vector3d divot = settings.divot_Reference.value_or(Eigen::Vector3d::Zero());
    for (size_t i = 0; i < m_divot.size(); ++i)
    {
        const QSignalBlocker blocker(m_divot[i]);
        m_divot[i]->setValue(divot[int(i)]);
    }
    const QSignalBlocker blocker(m_passMark);
    m_passMark->setValue(settings.passMarkMm);
}

Eigen::Matrix4d CalibrationVerificationWidget::toolCalibration() const
{
    return m_stream ? InstrumentCalibrationDataComponent::matrixOf(*m_stream, m_toolId) : Eigen::Matrix4d::Identity();
}

void CalibrationVerificationWidget::evaluate()
{
    const bool passedBefore = m_result.passed;
    const Eigen::Matrix4d calibration = toolCalibration();
    if (calibration != m_calibration)
        m_verification.restartSmoothing();
    m_calibration = calibration;
    const TrackingStreamData none(m_stream, {});
    m_result = m_verification.evaluateSmoothed(m_sample ? *m_sample : none, m_toolId, calibration);
    showResult();
    emit evaluated();
    if (m_result.passed != passedBefore)
        emit resultChanged(m_result.passed);
}

void CalibrationVerificationWidget::showResult()
{
    m_resultLabel->setText(resultText(m_result));
    m_resultLabel->setStyleSheet(resultStyle(m_result));
    m_setFromTip->setEnabled(m_result.tip_Reference.has_value());
}

} // namespace Kelvaros
