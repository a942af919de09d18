#pragma once

#include <optional>
#include <string>

#include <QWidget>

#include "stream/InstrumentCalibrationDataComponent.h"

class QGridLayout;
class QLabel;
class QPushButton;

namespace Kelvaros
{

class Data;

/// How an instrument's calibration was obtained, compactly: when, by which method from how many poses over which
/// angular range, the fit's residuals and the tip error it predicts for itself, and for a needle axis how far the
/// rotation recording tilted it over how large a turn and the axis error it predicts for itself; "No calibration"
/// when there is none. Following an instrument of a data object it also offers "Restore previous calibration", enabled
/// while the instrument has a previous calibration; one click swaps the current and the previous one, so a second click
/// undoes the first. Main thread.
class CalibrationProvenanceWidget : public QWidget
{
    Q_OBJECT

public:
    using Provenance = InstrumentCalibrationDataComponent::Provenance;

    explicit CalibrationProvenanceWidget(QWidget* parent = nullptr);
    ~CalibrationProvenanceWidget() override;

    /// Shows this provenance ("No calibration" when empty) and stops following a data object; the restore button
    /// is hidden.
    void setProvenance(const std::optional<Provenance>& provenance);
    /// Follows the calibration of an instrument of a data object (a stream or a sequence; not owned, it must
    /// outlive the widget or be replaced first) and shows the restore button. Null stops following.
    void setSource(Data* data, std::string instrumentId);
    /// Reads the followed calibration again (after something else changed it).
    void refresh();

    [[nodiscard]] QPushButton* restoreButton() const { return m_restoreButton; }

    /// The needle axis's figures in one sentence ("Needle axis: predicted error 0.03°; the tool's axis tilted
    /// 0.12° RMS over a 400° turn."); empty when the provenance has no axis.
    [[nodiscard]] static QString axisSummary(const Provenance& provenance);

signals:
    /// After the restore button swapped the current and the previous calibration.
    void calibrationRestored();

private:
    void onRestore();
    /// The provenance's rows, or `emptyText` alone when there is none.
    void showProvenance(const std::optional<Provenance>& provenance, const QString& emptyText);
    /// Sets a row's value, hiding the row when the value is empty.
    void setRow(int row, const QString& value);
    [[nodiscard]] InstrumentCalibrationDataComponent* sourceComponent() const;

    Data* m_source = nullptr;
    std::string m_instrumentId;
    QGridLayout* m_grid;
    QLabel* m_emptyLabel;
    QPushButton* m_restoreButton;
};

} // namespace Kelvaros
