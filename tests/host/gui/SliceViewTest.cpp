#include <functional>
#include <utility>
#include <vector>

#include <QOpenGLFunctions_3_3_Core>

#include <Eigen/Geometry>

#include "gl/Functions.h"
#include "gui/scene/GlMesh.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/VolumeTexture.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"

#include "GeometryTestSupport.h"
#include "GuiTestFixture.h"

namespace Kelvaros::Testing
{
namespace
{
constexpr double kMmPerPixel = 0.15;
const QRgb kBackground = qRgb(0, 0, 255);

/// 7x9x5 voxels of 0.8 x 1.1 x 1.6 mm holding 40 + 17i + 7j + 3k (so a flip or swap of any axis changes what is
/// seen), turned 25 degrees about an oblique axis and shifted.
std::unique_ptr<SharedImageSet> asymmetricVolume()
{
    auto volume =
      std::make_unique<SharedImageSet>("asymmetric", Eigen::Vector3i(7, 9, 5), Eigen::Vector3d(0.8, 1.1, 1.6));
    for (int k = 0; k < 5; ++k)
        for (int j = 0; j < 9; ++j)
            for (int i = 0; i < 7; ++i)
                volume->setVoxel({ i, j, k }, float(40 + 17 * i + 7 * j + 3 * k));
    Eigen::Affine3d placement =
      Eigen::Translation3d(12, -7, 30) * Eigen::AngleAxisd(25 * EIGEN_PI / 180, Eigen::Vector3d(1, 2, 3).normalized());
    volume->setMatrix(placement.matrix());
    return volume;
}

bool outsideGrid(const SharedImageSet& volume, const Eigen::Vector3d& voxel)
{
    const Eigen::Vector3d d = volume.dimensions().cast<double>();
    return (voxel.array() < -0.5).any() || (voxel.array() > d.array() - 0.5).any();
}

class SliceViewTest : public GuiTest
{
protected:
    void expectReformatted();
};

// Every sampled pixel shows the trilinear value of the world point the Slice convention puts there (x right, y
// down, origin at the centre), or the background outside the grid; the same when the volume is cut into bricks of
// two slices, so that every lookup between slices and every brick's edge is seen.
TEST_F(SliceViewTest, ReformatsTheVolumeAtEveryPlaneAndPose)
{
    const std::size_t defaultBrickBytes = VolumeTexture::maxBrickBytes();
    for (const std::size_t brickBytes : { defaultBrickBytes, 2 * 7 * 9 * sizeof(float) })
    {
        SCOPED_TRACE(testing::Message() << "bricks of at most " << brickBytes << " bytes");
        VolumeTexture::setMaxBrickBytes(brickBytes);
        expectReformatted();
    }
    VolumeTexture::setMaxBrickBytes(defaultBrickBytes);
}

// A scan of 300 slices of 512 x 512 is uploaded in bricks of at most the given size that share one slice with
// their neighbours and together hold every slice once or, at a join, twice.
TEST_F(SliceViewTest, BricksCoverTheSlicesWithinTheirSize)
{
    const std::size_t maxBytes = std::size_t(16) << 20;
    const std::vector<VolumeTexture::Brick> bricks = VolumeTexture::layout({ 512, 512, 300 }, maxBytes);
    ASSERT_GT(bricks.size(), 1u);
    EXPECT_EQ(bricks.front().firstSlice, 0);
    EXPECT_EQ(bricks.back().firstSlice + bricks.back().slices, 300);
    for (std::size_t k = 0; k < bricks.size(); ++k)
    {
        EXPECT_LE(std::size_t(bricks[k].slices) * 512 * 512 * sizeof(float), maxBytes);
        if (k > 0)
        {
            EXPECT_EQ(bricks[k].firstSlice, bricks[k - 1].firstSlice + bricks[k - 1].slices - 1);
        }
    }
    EXPECT_EQ(VolumeTexture::layout({ 4096, 4096, 3 }, maxBytes).front().slices, 2) << "two slices at least";
    EXPECT_EQ(VolumeTexture::layout({ 64, 64, 1 }, maxBytes).size(), 1u);
}

void SliceViewTest::expectReformatted()
{
    const auto volume = asymmetricVolume();
    const Eigen::Vector3d focus = volume->imageToWorld(Eigen::Vector3d(0.3, -0.4, 0.5));
    std::vector<Slice> slices;
    for (int k = 0; k < 3; ++k)
        slices.emplace_back(*Slice::planeFromIndex(k), focus);
    Slice oblique;
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.topLeftCorner<3, 3>() =
      Eigen::AngleAxisd(40 * EIGEN_PI / 180, Eigen::Vector3d(2, -1, 1).normalized()).matrix();
    pose.block<3, 1>(0, 3) = focus;
    oblique.setPose(pose);
    slices.push_back(oblique);

    for (const Slice& slice : slices)
    {
        SCOPED_TRACE(testing::Message() << "slice pose\n" << slice.pose());
        GlSliceView view(slice);
        view.setBackgroundColor({ 0, 0, 1 });
        view.setDecorationsVisible(false);
        view.setVisibleData({ volume.get() });
        view.setMmPerPixel(kMmPerPixel);
        view.setWindowLevel(255, 127.5);
        view.render(renderer->viewport());
        const QImage image = frame();
        int inside = 0;
        int outside = 0;
        for (int x = 1; x < kWidth; x += 5)
            for (int y = 1; y < kHeight; y += 5)
            {
                const Eigen::Vector3d world =
                  slice.origin() +
                  kMmPerPixel * ((x + 0.5 - kWidth / 2.0) * slice.xAxis() - (y + 0.5 - kHeight / 2.0) * slice.yAxis());
                const Eigen::Vector3d voxel = volume->worldToVoxel(world);
                const QRgb pixel = at(image, x, y);
                if (const std::optional<float> value = volume->interpolate(voxel))
                {
                    EXPECT_NEAR(qRed(pixel), *value, 2.0) << "at pixel " << x << ", " << y;
                    EXPECT_EQ(qRed(pixel), qBlue(pixel));
                    ++inside;
                }
                else if (outsideGrid(*volume, voxel))
                {
                    EXPECT_EQ(pixel, kBackground) << "at pixel " << x << ", " << y;
                    ++outside;
                }
            }
        EXPECT_GT(inside, 20);
        EXPECT_GT(outside, 20);
    }
}

TEST_F(SliceViewTest, VolumeTextureIsSharedAndReleasedByItsLastHolder)
{
    const auto volume = asymmetricVolume();
    std::shared_ptr<VolumeTexture> first = VolumeTexture::acquire(*volume);
    std::shared_ptr<VolumeTexture> second = VolumeTexture::acquire(*volume);
    ASSERT_TRUE(first);
    EXPECT_EQ(first.get(), second.get());
    const unsigned name = first->bricks().front().texture;
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions("SliceViewTest");
    EXPECT_TRUE(f->glIsTexture(name));
    first.reset();
    EXPECT_TRUE(f->glIsTexture(name));
    second.reset();
    EXPECT_FALSE(f->glIsTexture(name));
}

// A slice view reuses its reformatted image while what it shows is unchanged; after each kind of change it must
// show what a view drawn afresh shows.
TEST_F(SliceViewTest, ReusedImageFollowsEveryChange)
{
    using Change = std::function<void(GlSliceView&, SharedImageSet&)>;
    const std::vector<std::pair<const char*, Change>> changes = {
        { "scroll", [](GlSliceView& view, SharedImageSet&) { view.scroll(0.9); } },
        { "zoom", [](GlSliceView& view, SharedImageSet&) { view.setMmPerPixel(0.2); } },
        { "window", [](GlSliceView& view, SharedImageSet&) { view.setWindowLevel(120, 90); } },
        { "background",
          [](GlSliceView& view, SharedImageSet&) {
              view.setBackgroundColor({ 0, 1, 0 });
          } },
        { "voxels edited",
          [](GlSliceView&, SharedImageSet& volume)
          {
              volume.setVoxel({ 3, 4, 2 }, 250);
              VolumeTexture::markChanged(volume);
          } },
        { "volume moved", [](GlSliceView&, SharedImageSet& volume)
          { volume.setMatrix(translation(Eigen::Vector3d(0.6, -0.4, 0.3)) * volume.matrix()); } },
    };
    for (const auto& [name, change] : changes)
    {
        SCOPED_TRACE(name);
        const auto volume = asymmetricVolume();
        const Eigen::Vector3d focus = volume->imageToWorld(Eigen::Vector3d(0.3, -0.4, 0.5));
        const auto draw = [&](GlSliceView& view)
        {
            view.render(renderer->viewport());
            return frame();
        };
        GlSliceView reused(Slice(Slice::AnatomicalPlane::Axial, focus));
        reused.setBackgroundColor({ 0, 0, 1 });
        reused.setDecorationsVisible(false);
        reused.setVisibleData({ volume.get() });
        reused.setMmPerPixel(kMmPerPixel);
        reused.setWindowLevel(255, 127.5);
        const QImage before = draw(reused);
        change(reused, *volume);
        const QImage after = draw(reused);
        GlSliceView fresh(reused.slice());
        fresh.setBackgroundColor(reused.backgroundColor());
        fresh.setDecorationsVisible(false);
        fresh.setVisibleData({ volume.get() });
        fresh.setMmPerPixel(reused.mmPerPixel());
        fresh.setWindowLevel(reused.window(), reused.level());
        EXPECT_NE(after, before);
        EXPECT_EQ(after, draw(fresh));
    }
}

// The 3D view's picture of its volume planes, kept while the tool moves, is drawn again after any change of what it
// shows, and keeps hiding what lies behind the planes.
TEST_F(SliceViewTest, ReusedPlanesFollowEveryChangeAndStillHideWhatIsBehind)
{
    using Change = std::function<void(GlVolumeView&, SharedImageSet&)>;
    const std::vector<std::pair<const char*, Change>> changes = {
        { "camera", [](GlVolumeView& view, SharedImageSet& volume)
          { view.showBox(volume.worldBoundingBox(), Eigen::Vector3d(1, 0.3, -0.4), Eigen::Vector3d::UnitZ()); } },
        { "window", [](GlVolumeView& view, SharedImageSet&) { view.setWindowLevel(120, 90); } },
        { "voxels edited",
          [](GlVolumeView&, SharedImageSet& volume)
          {
              for (int j = 0; j < 9; ++j)
                  volume.setVoxel({ 3, j, 2 }, 250);
              VolumeTexture::markChanged(volume);
          } },
        { "volume moved", [](GlVolumeView&, SharedImageSet& volume)
          { volume.setMatrix(translation(Eigen::Vector3d(0.6, -0.4, 0.3)) * volume.matrix()); } },
        { "planes", [](GlVolumeView& view, SharedImageSet& volume)
          { view.setVolumePlanes({ Slice(Slice::AnatomicalPlane::Coronal, volume.worldBoundingBox().center()) }); } },
    };
    const auto draw = [this](GlVolumeView& view)
    {
        view.render(renderer->viewport());
        return frame();
    };
    for (const auto& [name, change] : changes)
    {
        SCOPED_TRACE(name);
        const auto volume = asymmetricVolume();
        GlVolumeView reused, fresh;
        reused.setVisibleData({ volume.get() });
        reused.setWindowLevel(255, 127.5);
        reused.showBox(volume->worldBoundingBox(), Eigen::Vector3d(0.2, 1, -0.6), Eigen::Vector3d::UnitZ());
        const QImage before = draw(reused);
        change(reused, *volume);
        const QImage after = draw(reused);
        fresh.setVisibleData({ volume.get() });
        fresh.setCamera(reused.camera());
        fresh.setVolumePlanes(reused.volumePlanes());
        EXPECT_NE(after, before);
        EXPECT_EQ(after, draw(fresh));
    }
    // A green ball a little behind the volume's centre, as the camera sees it, drawn over the kept picture.
    const auto volume = asymmetricVolume();
    GlVolumeView view;
    view.setVisibleData({ volume.get() });
    view.showBox(volume->worldBoundingBox(), Eigen::Vector3d(0.2, 1, -0.6), Eigen::Vector3d::UnitZ());
    view.render(renderer->viewport());
    const Eigen::Vector3d centre = volume->worldBoundingBox().center();
    const Eigen::Vector3d behind = centre + 1.5 * (centre - view.camera().position()).normalized();
    GlMesh ball(MeshCreator::createSphere(0.7, 16), "ball");
    ball.setColor({ 0, 1, 0 });
    ball.setMatrix(translation(behind));
    view.addObject(&ball);
    view.render(renderer->viewport());
    const QRgb middle = at(frame(), kWidth / 2, kHeight / 2);
    EXPECT_FALSE(qGreen(middle) > 2 * qRed(middle) && qGreen(middle) > 2 * qBlue(middle));
}

// Screen ↔ world of a slice view: the origin at the centre, x to the right, y downwards; panning carries the
// content with the cursor and zooming keeps the point under it.
TEST(SliceViewNavigation, ScreenAndWorldAgree)
{
    GlSliceView view(Slice(Slice::AnatomicalPlane::Sagittal, Eigen::Vector3d(1, 2, 3)));
    view.setMmPerPixel(0.5);
    const GL::Viewport viewport{ 0, 0, 100, 80 };
    const Slice& slice = view.slice();
    EXPECT_TRUE(view.worldAt(50, 40, viewport).isApprox(slice.origin()));
    EXPECT_TRUE(view.worldAt(60, 40, viewport).isApprox(slice.origin() + 5 * slice.xAxis()));
    EXPECT_TRUE(view.worldAt(50, 50, viewport).isApprox(slice.origin() - 5 * slice.yAxis()));

    const Eigen::Vector3d grabbed = view.worldAt(30, 20, viewport);
    view.pan(10, 5);
    EXPECT_TRUE(view.worldAt(40, 25, viewport).isApprox(grabbed));
    const Eigen::Vector3d cursor = view.worldAt(20, 70, viewport);
    view.zoomAbout(2, 20, 70, viewport);
    EXPECT_DOUBLE_EQ(view.mmPerPixel(), 0.25);
    EXPECT_TRUE(view.worldAt(20, 70, viewport).isApprox(cursor));
    const Eigen::Vector3d before = view.slice().origin();
    view.scroll(3);
    EXPECT_TRUE(view.slice().origin().isApprox(before + 3 * view.slice().normal()));
}

// A camera matrix looks along its -z with +y up: the 3D camera takes it as its pose, a slice view as the plane
// through the eye facing it.
TEST(SliceViewNavigation, CameraMatrixPlacesBothKindsOfView)
{
    Eigen::Matrix4d camera = Eigen::Matrix4d::Identity();
    camera.topLeftCorner<3, 3>() = Eigen::AngleAxisd(0.7, Eigen::Vector3d(1, -2, 0.5).normalized()).matrix();
    camera.block<3, 1>(0, 3) = Eigen::Vector3d(10, -40, 25);
    GlVolumeView view3D;
    view3D.setCameraMatrix(camera);
    EXPECT_TRUE(view3D.camera().matrix().isApprox(camera, 1e-9));
    GlSliceView slice;
    slice.setCameraMatrix(camera);
    EXPECT_TRUE(slice.slice().xAxis().isApprox(camera.block<3, 1>(0, 0)));
    EXPECT_TRUE(slice.slice().yAxis().isApprox(-camera.block<3, 1>(0, 1)));
    EXPECT_TRUE(slice.slice().normal().isApprox(-camera.block<3, 1>(0, 2)));
    EXPECT_TRUE(slice.slice().origin().isApprox(camera.block<3, 1>(0, 3)));
}

} // namespace
} // namespace Kelvaros::Testing
