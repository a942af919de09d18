#pragma once

#include <memory>
#include <optional>
#include <string>

#include <QString>
#include <QWidget>

#include <Eigen/Core>

#include "gui/annotation/PointsOnImageManipulator.h"
#include "lib/AlgorithmController.h"

#include "registration/PointsOnTrackingStreamManipulator.h"
#include "registration/RegistrationQuality.h"

namespace Ui
{
class LiveTrackingPointRegistrationController;
}

namespace Kelvaros
{

class LiveTrackingPointRegistrationAlgorithm;
class PointCorrespondencesWidget;

/// The panel of the live point registration: the tracking target (pointer) and an optional reference
/// instrument, how the result is applied, the point pairs (image points clicked in the views, tracked points
/// captured from the pointer) and "Register". The instrument choice is locked while tracked points exist; the
/// registration type is "Global tracking" without a reference, and anything but that with one.
///
/// After every fit the panel shows how far it can be trusted, without changing the fit: each pair's residual,
/// coloured against the expected fiducial localisation error (FLE, a spin box); the leave-one-out hint at a pair
/// whose removal clearly improves the fit; and the predicted target registration error at the target. The target
/// is the point the user picked with "Pick target" (the first slice view's centre), else the end of a path drawn
/// on the volume (its newest spline annotation), else the centroid of the image points. These figures go when
/// pairs are added or removed.
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

    /// Null before init().
    [[nodiscard]] PointCorrespondencesWidget* correspondenceWidget() const { return m_correspondenceWidget; }
    /// The figures of the last fit; empty before one and after the pairs changed.
    [[nodiscard]] const std::optional<RegistrationQualityReport>& quality() const { return m_quality; }

public slots:
    void onRegister();
    void onRelToolChanged(std::string id);
    void onRegistrationTypeChanged();
    /// Takes the centre of the first slice view (where the three cross while they are linked) as the target of the
    /// error prediction.
    void onPickTarget();

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
    [[nodiscard]] QString statusText(int status) const;

    std::unique_ptr<Ui::LiveTrackingPointRegistrationController> m_ui;
    PointCorrespondencesWidget* m_correspondenceWidget = nullptr;
    PointsOnImageManipulator m_imagePointManipulator;
    PointsOnTrackingStreamManipulator m_trackedPointManipulator;
    LiveTrackingPointRegistrationAlgorithm* m_algorithm;
    /// Picked with "Pick target", in image coordinates so that it stays on the anatomy when the volume moves.
    std::optional<Eigen::Vector3d> m_pickedTarget_Image;
    bool m_fitted = false;
    std::optional<RegistrationQualityReport> m_quality;
};

} // namespace Kelvaros
