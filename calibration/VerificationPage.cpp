#include "calibration/VerificationPage.h"

#include <QWidget>

#include "calibration/CalibrationProvenanceWidget.h"
#include "calibration/CalibrationVerificationWidget.h"

namespace Kelvaros
{

VerificationPage::VerificationPage(Ui::TrackingToolCalibrationWizard& form, QWidget& content,
                                   CalibrationVerificationWidget& verification, CalibrationProvenanceWidget& provenance,
                                   TrackingStream* stream, QObject* parent)
  // No animation: the check's own fields need the room.
  : WizardPage(form, QString(), true, parent),
    m_content(content),
    m_verification(verification),
    m_provenance(provenance),
    m_stream(stream)
{
}

void VerificationPage::activate()
{
    showPage(QStringLiteral("Touch the divot with the tool's tip to check the calibration, then press <b>Finish</b> "
                            "to keep it"));
    m_provenance.refresh();
    m_verification.setStream(m_stream);
    m_content.show();
}

void VerificationPage::deactivate()
{
    WizardPage::deactivate();
    m_verification.setStream(nullptr);
}

} // namespace Kelvaros
