#pragma once

#include <memory>

#include <QApplication>
#include <QMouseEvent>
#include <QTest>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"

#include "../GuiTestFixture.h"

namespace Kelvaros::Testing
{

/// A shown four-view display on a 40 x 30 x 20 mm volume that is turned and shifted, so that image and world
/// coordinates differ.
class AnnotationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/test or xvfb-run";
        volume = std::make_unique<SharedImageSet>("volume", Eigen::Vector3i(40, 30, 20), Eigen::Vector3d(1, 1, 1));
        const Eigen::Affine3d placement =
          Eigen::Translation3d(12, -7, 30) * Eigen::AngleAxisd(0.3, Eigen::Vector3d(1, 2, 3).normalized());
        volume->setMatrix(placement.matrix());
        display = std::make_unique<DisplayWidgetMulti>();
        display->resize(800, 600);
        display->setVisibleData(DataList{ volume.get() });
        display->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(display.get()));
    }

    /// The world point a slice view shows at a widget position: its plane's origin at the centre, x to the right,
    /// y downwards, mmPerPixel per logical pixel (device pixel ratio 1 under Xvfb); the pixel's centre.
    static Eigen::Vector3d sliceWorld(const ImageViewSlice& view, const QPoint& pos)
    {
        const GlSliceView& slice = view.sliceView();
        const double mm = slice.mmPerPixel();
        return slice.slice().origin() + mm * (pos.x() + 0.5 - 0.5 * view.width()) * slice.slice().xAxis() +
               mm * (pos.y() + 0.5 - 0.5 * view.height()) * slice.slice().yAxis();
    }

    /// Where a slice view shows a point of its plane (the inverse of sliceWorld, rounded).
    static QPoint slicePixel(const ImageViewSlice& view, const Eigen::Vector3d& world)
    {
        const GlSliceView& slice = view.sliceView();
        const Eigen::Vector3d d = (world - slice.slice().origin()) / slice.mmPerPixel();
        return QPoint(int(std::floor(0.5 * view.width() + d.dot(slice.slice().xAxis()))),
                      int(std::floor(0.5 * view.height() + d.dot(slice.slice().yAxis()))));
    }

    /// Sends one mouse event as the window system would (left button unless said otherwise).
    static void mouse(QWidget* widget, QEvent::Type type, const QPoint& pos, Qt::MouseButton button = Qt::LeftButton)
    {
        const Qt::MouseButtons held = type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(button);
        QMouseEvent event(type, pos, widget->mapToGlobal(pos), button, held, Qt::NoModifier);
        QApplication::sendEvent(widget, &event);
    }

    static void click(QWidget* widget, const QPoint& pos)
    {
        mouse(widget, QEvent::MouseButtonPress, pos);
        mouse(widget, QEvent::MouseButtonRelease, pos);
    }

    static void drag(QWidget* widget, const QPoint& from, const QPoint& to)
    {
        mouse(widget, QEvent::MouseButtonPress, from);
        mouse(widget, QEvent::MouseMove, (from + to) / 2);
        mouse(widget, QEvent::MouseMove, to);
        mouse(widget, QEvent::MouseButtonRelease, to);
    }

    /// Within half a pixel of `expected` along the slice's axes, and on its plane.
    static void expectNear(const ImageViewSlice& view, const Eigen::Vector3d& actual, const Eigen::Vector3d& expected)
    {
        const Slice& slice = view.sliceView().slice();
        const double half = 0.5 * view.sliceView().mmPerPixel() + 1e-9;
        const Eigen::Vector3d d = actual - expected;
        EXPECT_LE(std::abs(d.dot(slice.xAxis())), half) << actual.transpose() << " vs " << expected.transpose();
        EXPECT_LE(std::abs(d.dot(slice.yAxis())), half) << actual.transpose() << " vs " << expected.transpose();
        EXPECT_NEAR(slice.signedDistance(actual), 0.0, 1e-9);
    }

    std::unique_ptr<SharedImageSet> volume;
    std::unique_ptr<DisplayWidgetMulti> display;
};

} // namespace Kelvaros::Testing
