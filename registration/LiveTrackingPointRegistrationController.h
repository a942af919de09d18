#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QString>
#include <QTimer>
#include <QWidget>

#include <Eigen/Core>

#include "gui/annotation/PointsOnImageManipulator.h"
#include "lib/AlgorithmController.h"
#include "lib/numerics/RegistrationQuality.h"

#include "registration/PointsOnTrackingStreamManipulator.h"

namespace Ui
{
class LiveTrackingPointRegistrationController;
}

namespace Kelvaros
{

class LiveTrackingPointRegistrationAlgorithm;
class PointCorrespondencesWidget;
class RegistrationHistoryComponent;

/// The panel of the live point registration: the tracking target (pointer) and an optional reference
/// instrument, how the result is applied, the point pairs (image points clicked in the views, tracked points
/// captured from the pointer) and "Register". The instrument choice is locked while tracked points exist; the
/// registration type is "Global tracking" without a reference, and anything but that with one.
///
/// After every fit the panel shows the algorithm's judgement of it, without changing the fit: the verdict (red
/// when the FRE is improbable for the expected fiducial localisation error, the FLE spin box, which edits the
/// algorithm's "expectedFle"), each pair's residual coloured against that FLE, the pairs to check or the
/// leave-one-out hint, the FLE the prediction uses, and the predicted target registration error at the target. The
/// target is the point the user picked with "Pick target" (the first slice view's centre), else the end of a path
/// drawn on the volume (its newest spline annotation), else the centroid of the image points. These figures go when
/// pairs are added or removed. Below them, the provenance of the registration in force and "Restore previous
/// registration", which swaps it with the one before.
///
/// While the tracking target has no calibration (or an identity one) a warning says so above everything: the
/// points it captures would be its marker frame's origin, not its tip. It follows the chosen instrument and, read
/// twice a second, its calibration.
///
/// Main thread only. The algorithm (and its stream and volume) must outlive the panel.
class LiveTrackingPointRegistrationController
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    explicit LiveTrackingPointRegistrationController(LiveTrackingPointRegistrationAlgorithm* algorithm);
    ~LiveTrackingPointRegistrationController() override;

    void init() override;
    /// The captured and clicked points, which go with the panel's algorithm.
    [[nodiscard]] std::string unsavedWork() const override;

    /// Null before init().
    [[nodiscard]] PointCorrespondencesWidget* correspondenceWidget() const { return m_correspondenceWidget; }
    /// The registration in force on a volume, in one sentence for a panel; `history` may be null (none yet).
    [[nodiscard]] static QString registrationInForce(const RegistrationHistoryComponent* history);

    /// The figures of the last fit; empty before one and after the pairs changed.
    [[nodiscard]] const std::optional<RegistrationQualityReport>& quality() const { return m_quality; }

public slots:
    void onRegister();
    void onRelToolChanged(std::string id);
    void onRegistrationTypeChanged();
    /// Takes the centre of the first slice view (where the three cross while they are linked) as the target of the
    /// error prediction.
    void onPickTarget();
    /// Puts the previous registration back (a second click redoes the undone one).
    void onRestorePrevious();

private:
    void connectInstrumentCombos();
    void connectTrackedPoints();
    void createCorrespondenceWidget();
    /// Extra columns and clearer names of the table's fixed columns; drops the figures shown.
    void resetQualityColumns();
    void clearQuality();
    /// Evaluates the current pairs and shows the figures.
    void showQuality();
    /// The target in the volume's image coordinates and the words that say what it is.
    [[nodiscard]] std::pair<Eigen::Vector3d, QString> target(const std::vector<Eigen::Vector3d>& image) const;
    [[nodiscard]] std::optional<Eigen::Vector3d> pathTarget_World() const;
    void showVerdict(const RegistrationQualityReport& report, const RegistrationQualityText& text);
    /// The warning about an uncalibrated tracking target, hidden while it is calibrated.
    void updatePointerWarning();
    /// The provenance line and whether "Restore previous registration" can be used.
    void updateHistory();

    std::unique_ptr<Ui::LiveTrackingPointRegistrationController> m_ui;
    PointCorrespondencesWidget* m_correspondenceWidget = nullptr;
    PointsOnImageManipulator m_imagePointManipulator;
    PointsOnTrackingStreamManipulator m_trackedPointManipulator;
    LiveTrackingPointRegistrationAlgorithm* m_algorithm;
    /// Picked with "Pick target", in image coordinates so that it stays on the anatomy when the volume moves.
    std::optional<Eigen::Vector3d> m_pickedTarget_Image;
    bool m_fitted = false;
    std::optional<RegistrationQualityReport> m_quality;
    /// Calibrations change without a signal (a wizard, a workspace): the warning reads them on this clock.
    QTimer m_calibrationWatch;
};

} // namespace Kelvaros
