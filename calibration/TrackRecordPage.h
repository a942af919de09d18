#pragma once

#include "calibration/WizardPage.h"

namespace Kelvaros
{

/// A step that records a motion of the tool: shows the start/stop button; the wizard completes the page once a
/// recording of this step has been accepted.
class TrackRecordPage : public WizardPage
{
    Q_OBJECT

public:
    TrackRecordPage(Ui::TrackingToolCalibrationWizard& form, QString title, QString instruction,
                    const QString& moviePath, bool complete, QObject* parent = nullptr);

    void activate() override;
    [[nodiscard]] QString title() const override { return m_titleText; }

private:
    QString m_titleText;
    QString m_instructionText;
};

} // namespace Kelvaros
