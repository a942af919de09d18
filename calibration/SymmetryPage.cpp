#include "calibration/SymmetryPage.h"

#include "ui_TrackingToolCalibrationWizard.h"

namespace Kelvaros
{

SymmetryPage::SymmetryPage(Ui::TrackingToolCalibrationWizard& form, QObject* parent)
  : WizardPage(form, QStringLiteral(":/Navigation/ToolCalibration/flip.gif"), true, parent)
{
}

void SymmetryPage::activate()
{
    showPage(QStringLiteral(
      "Lift the tool from the calibration dip. If the pointer moves inside the plane, press <b>Flip</b>"));
    form().flipWidget->show();
}

} // namespace Kelvaros
