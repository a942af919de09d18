#include "ToolCalibrationController.h"

#include <QPushButton>
#include <QVBoxLayout>

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
}

} // namespace Kelvaros
