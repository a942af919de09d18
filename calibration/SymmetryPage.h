#pragma once

#include "calibration/WizardPage.h"

namespace Kelvaros
{

/// The last calibration step: the user checks the tool's direction and turns the calibration by 180 degrees
/// about its x-axis with the flip button when the needle points the wrong way.
class SymmetryPage : public WizardPage
{
    Q_OBJECT

public:
    explicit SymmetryPage(Ui::TrackingToolCalibrationWizard& form, QObject* parent = nullptr);

    void activate() override;
    [[nodiscard]] QString title() const override { return QStringLiteral("Flip"); }
};

} // namespace Kelvaros
