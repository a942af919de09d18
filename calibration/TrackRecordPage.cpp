#include "calibration/TrackRecordPage.h"

#include <utility>

#include "ui_TrackingToolCalibrationWizard.h"

namespace Kelvaros
{

TrackRecordPage::TrackRecordPage(Ui::TrackingToolCalibrationWizard& form, QString title, QString instruction,
                                 const QString& moviePath, bool complete, QObject* parent)
  : WizardPage(form, moviePath, complete, parent),
    m_titleText(std::move(title)),
    m_instructionText(std::move(instruction))
{
}

void TrackRecordPage::activate()
{
    showPage(m_instructionText);
    form().startStopButton->show();
    form().nextButton->hide();
}

} // namespace Kelvaros
