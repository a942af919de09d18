#include "gui/view/DisplayWidgetMulti.h"

#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/SharedImageSet.h"

#include "GuiTestFixture.h"

namespace Kelvaros::Testing
{
namespace
{
using Convention = Slice::DisplayConvention;

/// 20x30x40 voxels of 1 mm around the world origin (RAS), dark but for one bright voxel near the patient's left,
/// anterior, superior corner.
std::unique_ptr<SharedImageSet> leftAnteriorSuperiorSpot(Eigen::Vector3d& spot)
{
    auto volume = std::make_unique<SharedImageSet>("spot", Eigen::Vector3i(20, 30, 40), Eigen::Vector3d(1, 1, 1));
    volume->setVoxel({ 3, 26, 35 }, 1000);
    spot = volume->voxelToWorld(Eigen::Vector3d(3, 26, 35));
    return volume;
}

/// Where the bright grey pixels of a 360-pixel quadrant (not the yellow labels) lie from its centre, in mm to the
/// right and up.
Eigen::Vector2d spotOffset(const QImage& image, const QPoint& corner, double mmPerPixel)
{
    Eigen::Vector2d sum = Eigen::Vector2d::Zero();
    double weight = 0.0;
    for (int y = 0; y < 360; ++y)
        for (int x = 0; x < 360; ++x)
            if (const QRgb p = image.pixel(corner + QPoint(x, y)); qRed(p) > 60 && qBlue(p) + 5 >= qRed(p))
            {
                sum += qRed(p) * Eigen::Vector2d(x + 0.5 - 180, 180 - y - 0.5);
                weight += qRed(p);
            }
    return weight > 0 ? Eigen::Vector2d(mmPerPixel * sum / weight) : Eigen::Vector2d::Zero();
}

class DisplayConventionTest
  : public GuiTest
  , public ::testing::WithParamInterface<Convention>
{
};

// Axial with anterior up, sagittal and coronal with superior up and sagittal's anterior to the left; the patient's
// left on the screen's right in radiological, on its left in neurological.
TEST_P(DisplayConventionTest, LeftAnteriorSuperiorSpotLandsWhereTheConventionPutsIt)
{
    Eigen::Vector3d spot;
    const auto volume = leftAnteriorSuperiorSpot(spot);
    DisplayWidgetMulti display;
    display.setDisplayConvention(GetParam());
    display.setVisibleData({ volume.get() });
    for (int k = 0; k < 3; ++k)
    {
        GlSliceView& view = display.viewSlice(k)->sliceView();
        Slice slice = view.slice();
        slice.setOrigin(slice.origin() + slice.signedDistance(spot) * slice.normal()); // through the spot
        view.setSlice(slice);
    }
    // Quadrants of the side a display not yet laid out fits the volume to.
    const QImage image = display.renderToImage(QSize(722, 722));
    // The spot lies 6.5 mm left, 11.5 mm anterior and 15.5 mm superior of the centre.
    const double left = GetParam() == Convention::Radiological ? 6.5 : -6.5;
    const double mm = display.viewSlice(0)->sliceView().mmPerPixel();
    EXPECT_TRUE(spotOffset(image, { 362, 0 }, mm).isApprox(Eigen::Vector2d(left, 11.5), 0.05)) << "axial";
    EXPECT_TRUE(spotOffset(image, { 0, 362 }, mm).isApprox(Eigen::Vector2d(-11.5, 15.5), 0.05)) << "sagittal";
    EXPECT_TRUE(spotOffset(image, { 362, 362 }, mm).isApprox(Eigen::Vector2d(left, 15.5), 0.05)) << "coronal";
}

INSTANTIATE_TEST_SUITE_P(BothConventions, DisplayConventionTest,
                         ::testing::Values(Convention::Radiological, Convention::Neurological));

using DisplayNavigationTest = GuiTest;

// A second volume leaves the user's slices, zoom and camera alone; Reset Views brings back the first view of the
// first volume.
TEST_F(DisplayNavigationTest, ViewsKeepWhatTheUserSetUntilReset)
{
    Eigen::Vector3d spot;
    const auto first = leftAnteriorSuperiorSpot(spot);
    const auto second = leftAnteriorSuperiorSpot(spot);
    Eigen::Matrix4d aside = Eigen::Matrix4d::Identity();
    aside(0, 3) = 80;
    second->setMatrix(aside);
    DisplayWidgetMulti display;
    display.setVisibleData({ first.get() });
    const auto state = [&display]
    {
        std::vector<Eigen::Matrix4d> poses{ display.view3D()->volumeView().camera().matrix() };
        for (int k = 0; k < 3; ++k)
            poses.push_back(display.viewSlice(k)->sliceView().slice().pose() *
                            display.viewSlice(k)->sliceView().mmPerPixel());
        return poses;
    };
    const auto initial = state();
    const GL::Viewport viewport{ 0, 0, 200, 200 };
    display.viewSlice(0)->sliceView().pan(17, -9);
    display.viewSlice(1)->sliceView().zoomAbout(1.7, 20, 150, viewport);
    display.viewSlice(2)->sliceView().scroll(4);
    Camera turned = display.view3D()->volumeView().camera();
    turned.setLookAt(Eigen::Vector3d(300, 0, 0), Eigen::Vector3d::Zero(), Eigen::Vector3d::UnitZ());
    display.view3D()->volumeView().setCamera(turned);
    const auto moved = state();
    display.setVisibleData({ first.get(), second.get() });
    EXPECT_EQ(state(), moved) << "the second volume moved the views";

    display.resetViews();
    EXPECT_EQ(state(), initial);
}

} // namespace
} // namespace Kelvaros::Testing
