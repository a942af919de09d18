#include "ToolCalibrationController.h"

#include <QPushButton>
#include <QVBoxLayout>

#include "calibration/CalibrationProvenanceWidget.h"
#include "calibration/ToolCalibrationAlgorithm.h"

namespace Kelvaros
{

ToolCalibrationController::ToolCalibrationController(ToolCalibrationAlgorithm* algorithm)
  : DefaultAlgorithmController(algorithm, std::string(), true, false), m_algorithm(algorithm)
{
}

ToolCalibrationController::~ToolCalibrationController() = default;

void ToolCalibrationController::init()
{
    DefaultAlgorithmController::init();
    m_rotateButton = new QPushButton(tr("Rotate 180"), this);
    m_rotateButton->setObjectName("pushButton_rotate180");
    connect(m_rotateButton, &QPushButton::clicked, this, [this] { m_algorithm->rotateCalibration180(); });
    layout()->addWidget(m_rotateButton);
    m_provenanceWidget = new CalibrationProvenanceWidget(this);
    m_provenanceWidget->setProvenance(m_algorithm->provenance());
    layout()->addWidget(m_provenanceWidget);
    // A failed run keeps the last calibration, so its provenance stays on show.
    connect(this, &DefaultAlgorithmController::computed, m_provenanceWidget,
            [this] { m_provenanceWidget->setProvenance(m_algorithm->provenance()); });
}

} // namespace Kelvaros
