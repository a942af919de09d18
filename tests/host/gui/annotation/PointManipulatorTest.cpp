#include <QPushButton>
#include <QTableWidget>

#include "gui/annotation/PointCorrespondencesWidget.h"
#include "gui/annotation/PointsOnImageManipulator.h"
#include "gui/scene/GlPoint.h"
#include "gui/view/GlView.h"
#include "gui/view/ImageView3D.h"
#include "lib/points/PointCorrespondences.h"
#include "lib/points/PointsOnImage.h"

#include "../../../support/PointSignalLog.h"
#include "AnnotationTestSupport.h"

namespace Kelvaros::Testing
{
namespace
{

using PointManipulatorTest = AnnotationTest;

// One click per slice view after startPointCreation: each places one image point where that view shows the
// clicked pixel; a click without a new start places nothing.
TEST_F(PointManipulatorTest, ClickInEachSliceViewPlacesAnImagePoint)
{
    PointsOnImage points(*volume);
    PointsOnImageManipulator manipulator(points, false);
    manipulator.init(display.get());
    const QPoint clicks[] = { { 80, 60 }, { 250, 200 }, { 130, 41 } };
    for (int k = 0; k < 3; ++k)
    {
        ImageViewSlice* view = display->viewSlice(k);
        manipulator.startPointCreation();
        click(view, clicks[k]);
        click(view, clicks[k] + QPoint(20, 20));
        ASSERT_EQ(points.size(), k + 1) << "view " << k;
        expectNear(*view, points.allPoints()[size_t(k)], sliceWorld(*view, clicks[k]));
    }
    EXPECT_FALSE(manipulator.pointCreationPending());
}

// In the 3D view a click meets the nearest of the planes through the volume's middle, under the cursor: the
// camera looks at the volume's centre, so the middle pixel shows the centre.
TEST_F(PointManipulatorTest, ClickInThe3DViewPicksTheVolumePlanes)
{
    PointsOnImage points(*volume);
    PointsOnImageManipulator manipulator(points, true);
    manipulator.init(display.get());
    manipulator.startPointCreation();
    ImageView3D* view = display->view3D();
    const QPoint middle(view->width() / 2, view->height() / 2);
    const QPoint aside = middle + QPoint(25, -15);
    click(view, middle);
    click(view, aside);
    click(view, QPoint(2, 2)); // misses the volume: no point, and creation goes on
    ASSERT_EQ(points.size(), 2);
    EXPECT_TRUE(manipulator.pointCreationPending());
    EXPECT_LT((points.allPoints()[0] - volume->matrix().block<3, 1>(0, 3)).norm(), 1.0);

    const Eigen::Vector3d picked = points.allPoints()[1];
    const RenderInfo info = view->glView().renderInfo(GL::Viewport{ 0, 0, view->width(), view->height() });
    const Eigen::Vector2d window = info.viewState.toWindow(picked);
    EXPECT_NEAR(window.x(), aside.x() + 0.5, 0.01);
    EXPECT_NEAR(window.y(), view->height() - aside.y() - 0.5, 0.01);
    EXPECT_NEAR(volume->worldToImage(picked).cwiseAbs().minCoeff(), 0.0, 1e-6) << "not on a middle plane";
    const Eigen::Vector3d eye = info.viewState.modelView.inverse().block<3, 1>(0, 3);
    for (int axis = 0; axis < 3; ++axis)
    {
        // No other middle plane is met nearer to the eye within the grid.
        const Eigen::Vector3d normal = volume->matrix().block<3, 1>(0, axis);
        const Eigen::Vector3d direction = (picked - eye).normalized();
        const double t = (volume->matrix().block<3, 1>(0, 3) - eye).dot(normal) / direction.dot(normal);
        const Eigen::Vector3d inImage = volume->worldToImage(eye + t * direction);
        if (t > 0 && (inImage.cwiseAbs().array() < 0.5 * volume->extent().array()).all())
        {
            EXPECT_GE(t, (picked - eye).norm() - 1e-6) << "axis " << axis;
        }
    }
}

TEST_F(PointManipulatorTest, DraggingAHandleMovesThatPointOnly)
{
    ImageViewSlice* view = display->viewSlice(0);
    PointsOnImage points(*volume);
    for (const QPoint& p : { QPoint(100, 100), QPoint(150, 120), QPoint(200, 90) })
        points.addWorldPoint(sliceWorld(*view, p));
    const std::vector<Eigen::Vector3d> before = points.allPoints();
    PointsOnImageManipulator manipulator(points, false);
    manipulator.init(display.get());
    PointSignalLog log(points);

    const QPoint to(170, 160);
    drag(view, slicePixel(*view, before[1]), to);
    expectNear(*view, points.allPoints()[1], sliceWorld(*view, to));
    EXPECT_TRUE(points.allPoints()[0].isApprox(before[0]));
    EXPECT_TRUE(points.allPoints()[2].isApprox(before[2]));
    ASSERT_FALSE(log.events.empty());
    for (const std::string& event : log.events)
        EXPECT_EQ(event, "changed 1 2");
    EXPECT_TRUE(manipulator.handle(1)->points()[0].isApprox(points.allPoints()[1]));
}

// Pairs appear as points are added on either side; extra texts survive a refresh; removing takes both sides.
TEST_F(PointManipulatorTest, CorrespondenceWidgetListsPairs)
{
    PointsOnImage first(*volume);
    PointsOnImage second(*volume);
    PointCorrespondences correspondences(first, second);
    PointsOnImageManipulator firstManipulator(first, false);
    PointsOnImageManipulator secondManipulator(second, false);
    PointCorrespondencesWidget widget(correspondences, firstManipulator, secondManipulator);
    widget.init(display.get());
    widget.setExtraColumns({ "Error" });
    QTableWidget* table = widget.table();
    ImageViewSlice* view = display->viewSlice(0);
    const auto cell = [&](int row, int column) { return table->item(row, column)->text(); };

    QTest::mouseClick(widget.addFirstButton(), Qt::LeftButton);
    click(view, QPoint(100, 100));
    ASSERT_EQ(table->rowCount(), 1);
    EXPECT_FALSE(cell(0, PointCorrespondencesWidget::ColumnFirstPoint).isEmpty());
    EXPECT_TRUE(cell(0, PointCorrespondencesWidget::ColumnSecondPoint).isEmpty());

    widget.setExtraText(0, 0, "1.5 mm", Qt::red);
    QTest::mouseClick(widget.addSecondButton(), Qt::LeftButton);
    click(view, QPoint(120, 100));
    QTest::mouseClick(widget.addFirstButton(), Qt::LeftButton);
    click(view, QPoint(140, 100));
    ASSERT_EQ(table->rowCount(), 2);
    EXPECT_FALSE(cell(0, PointCorrespondencesWidget::ColumnSecondPoint).isEmpty());
    EXPECT_TRUE(cell(1, PointCorrespondencesWidget::ColumnSecondPoint).isEmpty());
    EXPECT_EQ(cell(0, PointCorrespondencesWidget::ColumnCount), "1.5 mm");
    EXPECT_EQ(table->item(0, PointCorrespondencesWidget::ColumnCount)->foreground().color(), QColor(Qt::red));

    widget.selectPair(0);
    QTest::mouseClick(widget.removeButton(), Qt::LeftButton);
    EXPECT_EQ(first.size(), 1);
    EXPECT_EQ(second.size(), 0);
    EXPECT_EQ(table->rowCount(), 1);
}

} // namespace
} // namespace Kelvaros::Testing
