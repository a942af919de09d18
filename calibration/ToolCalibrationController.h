#pragma once

#include "gui/controller/DefaultAlgorithmController.h"

class QPushButton;

namespace Kelvaros
{

class CalibrationProvenanceWidget;
class ToolCalibrationAlgorithm;

/// The panel of a ToolCalibrationAlgorithm: the host's default panel (the algorithm's parameters and "Compute")
/// with a "Rotate 180" button that turns the current calibration of the held sequences by 180 degrees about the
/// calibrated x-axis, for a tool whose markers were mounted the other way round. Each click turns once more, so two
/// restore the calibration; it does not compute. Below it, how the last computed calibration was obtained
/// (CalibrationProvenanceWidget), renewed after each Compute. Main thread.
class ToolCalibrationController : public DefaultAlgorithmController
{
    Q_OBJECT

public:
    /// The algorithm is not owned and outlives the panel.
    explicit ToolCalibrationController(ToolCalibrationAlgorithm* algorithm);
    ~ToolCalibrationController() override;

    /// The default panel, then the button and the provenance below it.
    void init() override;

    /// Null before init().
    [[nodiscard]] QPushButton* rotateButton() const { return m_rotateButton; }
    [[nodiscard]] CalibrationProvenanceWidget* provenanceWidget() const { return m_provenanceWidget; }

private:
    ToolCalibrationAlgorithm* m_algorithm;
    QPushButton* m_rotateButton = nullptr;
    CalibrationProvenanceWidget* m_provenanceWidget = nullptr;
};

} // namespace Kelvaros
