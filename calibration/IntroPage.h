#pragma once

#include "calibration/WizardPage.h"

namespace Kelvaros
{

/// The wizard's first step: explains the wizard and lets the user choose the instrument to calibrate.
class IntroPage : public WizardPage
{
    Q_OBJECT

public:
    explicit IntroPage(Ui::TrackingToolCalibrationWizard& form, QObject* parent = nullptr);

    void activate() override;
    [[nodiscard]] QString title() const override { return QStringLiteral("Start"); }
};

} // namespace Kelvaros
