#include "gui/view/CursorLink.h"

#include <numeric>

#include <QSignalSpy>
#include <QTest>

#include "gui/scene/GlCrosshair.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"

#include "GuiTestFixture.h"

namespace Kelvaros::Testing
{
namespace
{
bool isCrosshair(QRgb pixel)
{
    const Eigen::Vector4d c = 255 * GlCrosshair::color();
    return std::abs(qRed(pixel) - c.x()) < 8 && std::abs(qGreen(pixel) - c.y()) < 8 &&
           std::abs(qBlue(pixel) - c.z()) < 8;
}

/// Whether the crosshair colour is within a pixel of (x, y) (image rows, top first) across a line's width.
bool crosshairNear(const QImage& image, int x, int y)
{
    for (int d = -1; d <= 1; ++d)
        if (isCrosshair(image.pixel(x + d, y)) || isCrosshair(image.pixel(x, y + d)))
            return true;
    return false;
}
} // namespace

using CursorLinkTest = GuiTest;

// A click in the axial view carries the sagittal and coronal planes, and the 3D view's planes, through the clicked
// point, where their crosshairs cross; the axial view stays where it was, and the 3D planes follow a scroll too.
TEST_F(CursorLinkTest, ClickInOneSliceViewMovesAndMarksTheOthers)
{
    DisplayWidgetMulti display;
    auto* link = new CursorLink(display);
    SharedImageSet volume("volume", Eigen::Vector3i(40, 50, 30), Eigen::Vector3d(1, 1, 1));
    std::iota(volume.voxels().begin(), volume.voxels().end(), 0.0f);
    DataList data;
    data.add(&volume);
    display.setVisibleData(data);
    display.resize(400, 400);
    display.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&display));
    QSignalSpy moved(link, &CursorLink::cursorMoved);

    ImageViewSlice& axial = *display.viewSlice(0);
    const Slice axialBefore = axial.sliceView().slice();
    const QPoint click(axial.width() / 2 + 23, axial.height() / 2 - 31);
    QTest::mouseClick(&axial, Qt::LeftButton, {}, click);
    ASSERT_EQ(moved.count(), 1);
    const Eigen::Vector3d clicked(moved[0][0].toDouble(), moved[0][1].toDouble(), moved[0][2].toDouble());
    EXPECT_TRUE(axial.sliceView().slice().pose() == axialBefore.pose());
    EXPECT_NEAR(axialBefore.signedDistance(clicked), 0, 1e-9);

    const std::vector<Slice>& planes3D = display.view3D()->volumeView().volumePlanes();
    ASSERT_EQ(planes3D.size(), 3u);
    for (int k : { 1, 2 })
    {
        SCOPED_TRACE(k);
        ImageViewSlice& view = *display.viewSlice(k);
        const Slice& slice = view.sliceView().slice();
        EXPECT_NEAR(slice.signedDistance(clicked), 0, 1e-9);
        EXPECT_TRUE(planes3D[size_t(k)].pose() == slice.pose());
        // Where the clicked point shows in this view, from the slice convention (x right, y down, origin centred).
        const double mm = view.sliceView().mmPerPixel();
        const int x = int(std::floor(0.5 * view.width() + (clicked - slice.origin()).dot(slice.xAxis()) / mm));
        const int y = int(std::floor(0.5 * view.height() + (clicked - slice.origin()).dot(slice.yAxis()) / mm));
        const QImage image = view.renderToImage(view.size()).convertToFormat(QImage::Format_RGB32);
        EXPECT_TRUE(crosshairNear(image, x, y - 20) && crosshairNear(image, x, y + 20));
        EXPECT_TRUE(crosshairNear(image, x - 20, y) && crosshairNear(image, x + 20, y));
        EXPECT_FALSE(crosshairNear(image, x + 20, y + 20));
    }
    display.viewSlice(1)->sliceView().scroll(4.5);
    EXPECT_TRUE(planes3D[1].pose() == display.viewSlice(1)->sliceView().slice().pose());
}

} // namespace Kelvaros::Testing
