#include "calibration/IntroPage.h"

#include "ui_TrackingToolCalibrationWizard.h"

namespace Kelvaros
{

IntroPage::IntroPage(Ui::TrackingToolCalibrationWizard& form, QObject* parent)
  : WizardPage(form, QStringLiteral(":/Navigation/ToolCalibration/dip.gif"), true, parent)
{
}

void IntroPage::activate()
{
    showPage(QStringLiteral("This wizard will guide you through the tracking tool calibration process"));
    form().instrumentsWidget->show();
}

} // namespace Kelvaros
