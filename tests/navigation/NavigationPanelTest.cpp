#include <cmath>
#include <cstdlib>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include "core/Properties.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/ImageView3D.h"

#include "../host/gui/GuiTestFixture.h"
#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "navigation/NavigationScene.h"
#include "navigation/ToolNavigationDistanceWidget.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "navigation/ToolNavigationVisualizationController.h"
#include "visualization/ToolVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationController.h"

namespace Kelvaros::Testing
{
namespace
{
/// A quarter circle of radius 100 mm from the origin (heading +z) to (100, 0, 100), at a fraction of the way.
Eigen::Vector3d onArc(double fraction)
{
    const double angle = fraction * kPi / 2;
    return { 100.0 * (1.0 - std::cos(angle)), 0.0, 100.0 * std::sin(angle) };
}

class NavigationPanel : public GuiTest
{
protected:
    void SetUp() override
    {
        GuiTest::SetUp();
        algorithm.toolVisualization().p_trackingTargetId.setValue("needle");
        addPath("Arc", 9);
        addPath("Short", 2);
        panel.setDisplay(&display);
        panel.setApplication(&application);
        panel.init();
    }

    void addPath(const char* name, int segments)
    {
        auto spline = std::make_unique<GlSpline>(name);
        std::vector<Eigen::Vector3d> points;
        for (int i = 0; i <= segments; ++i)
            points.push_back(onArc(i / double(segments)));
        spline->setPoints(points);
        application.annotationModel().addAnnotation(std::make_unique<InteractiveObject>(std::move(spline)));
    }

    /// The needle 3 mm beside the arc at `fraction`, pointing back along it, through the running tool panel.
    void moveNeedle(double fraction)
    {
        const Eigen::Vector3d tangent = (onArc(fraction + 1e-6) - onArc(fraction)).normalized();
        Eigen::Matrix4d needle = pose(onArc(fraction) + Eigen::Vector3d(0, 3, 0));
        needle.topLeftCorner<3, 3>() = Eigen::Quaterniond::FromTwoVectors(Eigen::Vector3d::UnitZ(), -tangent).matrix();
        QSignalSpy changed(&panel, &ToolNavigationVisualizationController::changed);
        stream.publish({ instrument("needle", needle) });
        ASSERT_TRUE(changed.wait(5000));
    }

    template<class Widget>
    Widget* child(const char* name)
    {
        return panel.findChild<Widget*>(name);
    }

    DriverStream stream;
    ToolNavigationVisualizationAlgorithm algorithm{ &stream };
    DisplayWidgetMulti display;
    GuiApplicationController application{ &display };
    ToolNavigationVisualizationController panel{ &algorithm };
};

/// Writes the 3D view beside the panel to the file named by NAVIGATION_FIGURE, when set.
void saveFigure(DisplayWidgetMulti& display, QWidget& panel)
{
    const char* path = std::getenv("NAVIGATION_FIGURE");
    if (!path)
        return;
    panel.adjustSize();
    display.resize(1280, 2 * panel.height()); // its 3D view, top left, as tall as the panel
    display.show();
    panel.show();
    QTest::qWait(200);
    const QImage view = display.view3D()->grab().toImage();
    const QImage form = panel.grab().toImage();
    QImage figure(view.width() + form.width(), std::max(view.height(), form.height()), QImage::Format_RGB32);
    QPainter painter(&figure);
    painter.drawImage(0, 0, view);
    painter.drawImage(view.width(), 0, form);
    painter.end();
    figure.save(path);
}
} // namespace

TEST_F(NavigationPanel, DistanceBarShowsThePathLeftOnACurvedPath)
{
    ASSERT_EQ(child<QComboBox>("comboBox_splines")->count(), 2);
    ASSERT_EQ(panel.scene()->spline()->name(), "Arc");
    QTest::mouseClick(panel.toolPanel().findChild<QPushButton*>("pushButton_startStop"), Qt::LeftButton);
    for (double fraction : { 0.1, 0.5, 0.93 })
    {
        moveNeedle(fraction);
        EXPECT_NEAR(panel.distanceWidget()->remainingLength(), (1 - fraction) * 50 * kPi, 0.5) << fraction;
        if (fraction == 0.5)
            saveFigure(display, panel);
    }
    // Remaining, target radius, text.
    const std::tuple<double, double, const char*> texts[] = {
        { 0.0, 1.0, "0.0 mm" }, { 8.24, 10.0, "8.2 mm" }, { 25.9, 10.0, "25 mm" }, { 10.0, 10.0, "10 mm" }
    };
    for (const auto& [remaining, radius, text] : texts)
        EXPECT_EQ(ToolNavigationDistanceWidget::distanceText(remaining, radius), text);
}

TEST_F(NavigationPanel, SettingsRoundTripThroughTheWidgets)
{
    const NavigationSettings chosen{ 4.5,
                                     PathType::Funnel,
                                     60.0,
                                     RingSpacing::Exponential,
                                     7,
                                     CameraLink::NeedleSide,
                                     RingVisibility::Fading,
                                     CenterLineVisibility::Line };
    Properties stored;
    chosen.configuration(stored);
    panel.configure(stored);
    EXPECT_EQ(panel.scene()->settings(), chosen);
    EXPECT_TRUE(child<QDoubleSpinBox>("doubleSpinBox_growth")->isEnabled());

    Properties written;
    panel.configuration(written);
    NavigationSettings reread;
    reread.configure(written);
    EXPECT_EQ(reread, chosen);

    child<QComboBox>("comboBox_link")->setCurrentIndex(int(CameraLink::Rings));
    EXPECT_FALSE(child<QSpinBox>("spinBox_number")->isEnabled()) << "the Rings camera locks the path's shape";
}

TEST_F(NavigationPanel, RemovingTheSelectedSplineSelectsTheNext)
{
    AnnotationModel& model = application.annotationModel();
    LogExpectation warning(Log::Warning, "The currently selected spline was removed, taking the next one available");
    model.removeAnnotation(model.getAnnotations()[0]);
    EXPECT_EQ(child<QComboBox>("comboBox_splines")->count(), 1);
    ASSERT_NE(panel.scene()->spline(), nullptr);
    EXPECT_EQ(panel.scene()->spline()->name(), "Short");

    LogExpectation error(Log::Error,
                         "No splines could be found on the annotation model or the name is invalid (empty)");
    model.removeAnnotation(model.getAnnotations()[0]);
    EXPECT_EQ(panel.scene()->spline(), nullptr);
    EXPECT_TRUE(panel.scene()->rings().empty());
    EXPECT_EQ(panel.distanceWidget()->remainingLength(), 0.0);
    model.undo();
    EXPECT_EQ(child<QComboBox>("comboBox_splines")->currentText(), "Short")
      << "an annotation brought back is offered again";
}

} // namespace Kelvaros::Testing
