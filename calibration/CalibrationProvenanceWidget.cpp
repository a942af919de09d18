#include "calibration/CalibrationProvenanceWidget.h"

#include <utility>

#include <QDateTime>
#include <QGridLayout>
#include <QLabel>
#include <QLocale>
#include <QPalette>
#include <QPushButton>
#include <QStringList>
#include <QVBoxLayout>

#include "lib/Data.h"

namespace Kelvaros
{

namespace
{
/// The rows of the grid, top to bottom, with the object names of their value labels.
enum Row
{
    DateRow,
    MethodRow,
    ResidualRow,
    TipErrorRow,
    AxisRow,
    AxisErrorRow,
    RowCount
};

struct RowInfo
{
    const char* title;
    const char* objectName;
};

const RowInfo kRows[RowCount] = {
    { QT_TRANSLATE_NOOP("CalibrationProvenanceWidget", "Calibrated"), "label_provenanceDate" },
    { QT_TRANSLATE_NOOP("CalibrationProvenanceWidget", "Method"), "label_provenanceMethod" },
    { QT_TRANSLATE_NOOP("CalibrationProvenanceWidget", "Residual"), "label_provenanceResidual" },
    { QT_TRANSLATE_NOOP("CalibrationProvenanceWidget", "Predicted tip error"), "label_provenanceTipError" },
    { QT_TRANSLATE_NOOP("CalibrationProvenanceWidget", "Needle axis"), "label_provenanceAxis" },
    { QT_TRANSLATE_NOOP("CalibrationProvenanceWidget", "Predicted axis error"), "label_provenanceAxisError" }
};

QString millimetres(double value)
{
    return QLocale().toString(value, 'f', 2) + " mm";
}

/// Hundredths of a degree; below that "< 0.01°", which is what two decimals can say about it.
QString degrees(double value)
{
    return value < 0.005 ? QStringLiteral("< ") + QLocale().toString(0.01, 'f', 2) + QStringLiteral("°")
                         : QLocale().toString(value, 'f', 2) + QStringLiteral("°");
}

/// "tilted 0.12° RMS over a 400° turn": how well the rotation recording kept to one axis.
QString axisText(const CalibrationProvenanceWidget::Provenance& provenance)
{
    if (!provenance.axisTiltRmsDegrees || !provenance.axisSpinDegrees)
        return {};
    return CalibrationProvenanceWidget::tr("tilted %1 RMS over a %2° turn")
      .arg(degrees(*provenance.axisTiltRmsDegrees))
      .arg(QLocale().toString(*provenance.axisSpinDegrees, 'f', 0));
}

/// "2026-12-07 06:12" in the offset the calibration was stamped with; the raw text when it does not parse.
QString dateText(const std::string& iso)
{
    const QString text = QString::fromStdString(iso);
    const QDateTime dateTime = QDateTime::fromString(text, Qt::ISODate);
    return dateTime.isValid() ? dateTime.toString("yyyy-MM-dd HH:mm") : text;
}

QString methodName(const std::string& method)
{
    if (method == "pivot")
        return CalibrationProvenanceWidget::tr("Pivot");
    if (method == "axis")
        return CalibrationProvenanceWidget::tr("Axis");
    if (method == "pivot+axis")
        return CalibrationProvenanceWidget::tr("Pivot + axis");
    return QString::fromStdString(method);
}

/// "Pivot + axis, 1,200 poses, 68° range", leaving out what the method has no value for.
QString methodText(const CalibrationProvenanceWidget::Provenance& provenance)
{
    QStringList parts;
    if (!provenance.method.empty())
        parts << methodName(provenance.method);
    if (provenance.poseCount)
        parts << CalibrationProvenanceWidget::tr("%1 poses").arg(QLocale().toString(*provenance.poseCount));
    if (provenance.angularRangeDegrees)
        parts << CalibrationProvenanceWidget::tr("%1° range")
                   .arg(QLocale().toString(*provenance.angularRangeDegrees, 'f', 0));
    return parts.join(", ");
}

/// "RMS 0.21 mm, max 0.55 mm".
QString residualText(const CalibrationProvenanceWidget::Provenance& provenance)
{
    QStringList parts;
    if (provenance.residualRmsMm)
        parts << CalibrationProvenanceWidget::tr("RMS %1").arg(millimetres(*provenance.residualRmsMm));
    if (provenance.residualMaxMm)
        parts << CalibrationProvenanceWidget::tr("max %1").arg(millimetres(*provenance.residualMaxMm));
    return parts.join(", ");
}
} // namespace

CalibrationProvenanceWidget::CalibrationProvenanceWidget(QWidget* parent)
  : QWidget(parent),
    m_grid(new QGridLayout),
    m_emptyLabel(new QLabel(this)),
    m_restoreButton(new QPushButton(tr("Restore previous calibration"), this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_emptyLabel->setObjectName("label_provenanceEmpty");
    layout->addWidget(m_emptyLabel);
    m_grid->setHorizontalSpacing(12);
    m_grid->setColumnStretch(1, 1);
    // Captions a step quieter than the values, still readable (the disabled colour is too faint for that).
    QPalette captionPalette = palette();
    QColor caption = captionPalette.color(QPalette::WindowText);
    caption.setAlphaF(0.65);
    captionPalette.setColor(QPalette::WindowText, caption);
    for (int row = 0; row < RowCount; ++row)
    {
        auto* title = new QLabel(tr(kRows[row].title), this);
        title->setPalette(captionPalette);
        auto* value = new QLabel(this);
        value->setObjectName(kRows[row].objectName);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        m_grid->addWidget(title, row, 0);
        m_grid->addWidget(value, row, 1);
    }
    layout->addLayout(m_grid);
    m_restoreButton->setObjectName("pushButton_restorePrevious");
    m_restoreButton->setToolTip(tr("Swap the current calibration with the one before it; click again to undo."));
    m_restoreButton->hide();
    layout->addWidget(m_restoreButton);
    connect(m_restoreButton, &QPushButton::clicked, this, &CalibrationProvenanceWidget::onRestore);
    showProvenance(std::nullopt, tr("No calibration"));
}

CalibrationProvenanceWidget::~CalibrationProvenanceWidget() = default;

void CalibrationProvenanceWidget::setProvenance(const std::optional<Provenance>& provenance)
{
    m_source = nullptr;
    m_instrumentId.clear();
    m_restoreButton->hide();
    showProvenance(provenance, tr("No calibration"));
}

void CalibrationProvenanceWidget::setSource(Data* data, std::string instrumentId)
{
    m_source = data;
    m_instrumentId = std::move(instrumentId);
    m_restoreButton->setVisible(m_source != nullptr);
    refresh();
}

void CalibrationProvenanceWidget::refresh()
{
    const InstrumentCalibrationDataComponent* component = sourceComponent();
    const std::optional<InstrumentCalibrationDataComponent::Entry> current =
      component ? component->entry(m_instrumentId) : std::nullopt;
    m_restoreButton->setEnabled(component && component->previous(m_instrumentId).has_value());
    showProvenance(current ? current->provenance : std::nullopt,
                   current ? tr("Calibrated (how was not recorded)") : tr("No calibration"));
}

void CalibrationProvenanceWidget::onRestore()
{
    InstrumentCalibrationDataComponent* component = sourceComponent();
    const bool swapped = component && component->restorePrevious(m_instrumentId);
    refresh();
    if (swapped)
        emit calibrationRestored();
}

void CalibrationProvenanceWidget::showProvenance(const std::optional<Provenance>& provenance, const QString& emptyText)
{
    m_emptyLabel->setText(emptyText);
    m_emptyLabel->setVisible(!provenance);
    const Provenance shown = provenance.value_or(Provenance());
    setRow(DateRow, dateText(shown.dateTime));
    setRow(MethodRow, methodText(shown));
    setRow(ResidualRow, residualText(shown));
    setRow(TipErrorRow, shown.predictedTipErrorMm ? millimetres(*shown.predictedTipErrorMm) : QString());
    setRow(AxisRow, axisText(shown));
    setRow(AxisErrorRow, shown.predictedAxisErrorDegrees ? degrees(*shown.predictedAxisErrorDegrees) : QString());
}

QString CalibrationProvenanceWidget::axisSummary(const Provenance& provenance)
{
    if (!provenance.predictedAxisErrorDegrees || axisText(provenance).isEmpty())
        return {};
    return tr("Needle axis: predicted error %1; the tool's axis %2.")
      .arg(degrees(*provenance.predictedAxisErrorDegrees))
      .arg(axisText(provenance));
}

void CalibrationProvenanceWidget::setRow(int row, const QString& value)
{
    auto* title = static_cast<QLabel*>(m_grid->itemAtPosition(row, 0)->widget());
    auto* shown = static_cast<QLabel*>(m_grid->itemAtPosition(row, 1)->widget());
    shown->setText(value);
    title->setVisible(!value.isEmpty());
    shown->setVisible(!value.isEmpty());
}

InstrumentCalibrationDataComponent* CalibrationProvenanceWidget::sourceComponent() const
{
    return m_source ? m_source->components().get<InstrumentCalibrationDataComponent>() : nullptr;
}

} // namespace Kelvaros
