#pragma once

#include "calibration/WizardPage.h"

class QWidget;

namespace Kelvaros
{

class CalibrationProvenanceWidget;
class CalibrationVerificationWidget;
class TrackingStream;

/// The wizard's last step, optional to use: the user touches a divot whose position is known and sees the new
/// calibration's tip distance to it against a pass mark, with how the calibration was obtained, before keeping it.
/// The check listens to the stream only while the page is shown.
class VerificationPage : public WizardPage
{
    Q_OBJECT

public:
    /// `content` holds the two widgets and is shown with the page; all belong to the wizard's form, and the stream
    /// outlives the page.
    VerificationPage(Ui::TrackingToolCalibrationWizard& form, QWidget& content,
                     CalibrationVerificationWidget& verification, CalibrationProvenanceWidget& provenance,
                     TrackingStream* stream, QObject* parent = nullptr);

    void activate() override;
    void deactivate() override;
    [[nodiscard]] QString title() const override { return QStringLiteral("Verify"); }

private:
    QWidget& m_content;
    CalibrationVerificationWidget& m_verification;
    CalibrationProvenanceWidget& m_provenance;
    TrackingStream* m_stream;
};

} // namespace Kelvaros
