#pragma once

#include <memory>
#include <random>

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <Eigen/LU>

#include "gui/controller/GuiApplicationController.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "lib/SharedImageSet.h"
#include "stream/TrackingStreamData.h"

#include "../host/gui/GuiTestFixture.h"
#include "GeometryTestSupport.h"
#include "TrackingTestSupport.h"
#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "visualization/ToolVisualizationController.h"

namespace Kelvaros::Testing
{

/// Panels opened on a driver stream as the host opens them, with a display and an application.
class PanelTest : public GuiTest
{
protected:
    /// Publishes a sample and lets the queued panel updates run.
    void publish(std::shared_ptr<TrackingStreamData> sample, ToolVisualizationController& panel)
    {
        QSignalSpy updated(&panel, &ToolVisualizationController::visualizationUpdated);
        stream.publish(std::move(sample));
        ASSERT_TRUE(updated.wait(5000));
    }

    /// Clicks the panel's start / stop button.
    static void startStop(QWidget& panel)
    {
        QTest::mouseClick(panel.findChild<QPushButton*>("pushButton_startStop"), Qt::LeftButton);
    }

    void open(AlgorithmController& panel)
    {
        panel.setDisplay(&display);
        panel.setApplication(&application);
        panel.init();
    }

    /// Gives the stream a registration of its own, then registers `volume` to the instrument "reference" by
    /// adjusting its calibration (relative tracking, type 2) from four pointer touches. Returns the true
    /// image-to-reference transform: a tool at `pose` with the reference at `reference` lies on the volume at
    /// volume.matrix() · imageToReference⁻¹ · reference⁻¹ · pose.
    Eigen::Matrix4d registerToReference(SharedImageSet& volume, std::mt19937& rng)
    {
        stream.setMatrix(randomRigid(rng));
        stream.setMainInstrumentId("pointer");
        LiveTrackingPointRegistrationAlgorithm registration(stream, volume);
        registration.pointsOnTrackingStream().setRelativeTrackerId(std::string("reference"));
        registration.registrationType().setValue(LiveTrackingPointRegistrationAlgorithm::AdjustRelativeCalibration);
        const Eigen::Matrix4d imageToReference = randomRigid(rng);
        const auto imagePoints = randomPoints(rng, 4);
        for (int i = 0; i < 4; ++i)
        {
            const Eigen::Matrix4d reference = randomRigid(rng);
            stream.publish({ instrument("pointer", translation(apply(reference * imageToReference, imagePoints[i]))),
                             instrument("reference", reference) });
            Eigen::Vector3d sampled;
            EXPECT_TRUE(registration.addLiveTrackingPoint(sampled));
            EXPECT_TRUE(registration.setVolumePoint(i, imagePoints[i]));
        }
        registration.compute();
        EXPECT_EQ(registration.status(), 0);
        return imageToReference;
    }

    DriverStream stream;
    DisplayWidgetMulti display;
    GuiApplicationController application{ &display };
};

} // namespace Kelvaros::Testing
