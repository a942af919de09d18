#include <algorithm>
#include <memory>
#include <tuple>

#include "core/Log.h"
#include "core/Properties.h"
#include "gui/view/GlSliceView.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/SharedImageSet.h"

#include "GuiTestFixture.h"
#include "LogExpectation.h"

namespace Kelvaros::Testing
{
namespace
{
/// A cube of 1 mm voxels centred on the world origin whose values climb from 0 to `top` along x (or y).
std::unique_ptr<SharedImageSet> ramp(const char* name, int side, float top, int axis)
{
    auto volume = std::make_unique<SharedImageSet>(name, Eigen::Vector3i::Constant(side), Eigen::Vector3d::Ones());
    for (int k = 0; k < side; ++k)
        for (int j = 0; j < side; ++j)
            for (int i = 0; i < side; ++i)
                volume->setVoxel({ i, j, k }, top * float(axis == 0 ? i : j) / float(side - 1));
    return volume;
}

/// Grey level 0-255 of `volume` at the world point, through its own window and level.
double mapped(SharedImageSet& volume, const Eigen::Vector3d& world)
{
    const ImageDisplayOptionsComponent& options = ImageDisplayOptionsComponent::of(volume);
    const double value = *volume.interpolate(volume.worldToVoxel(world));
    return 255 * std::clamp((value - options.level() + 0.5 * options.window()) / options.window(), 0.0, 1.0);
}

using VolumeLayersTest = GuiTest;

// A phantom (0..1) with an MRI (0..1000, smaller, half transparent) over it: each mapped by its own automatic
// window, the top blended at its opacity where it has data, the bottom alone elsewhere and once the top is hidden.
TEST_F(VolumeLayersTest, EachVolumeIsMappedByItsOwnSettingsAndBlendedOverThoseBelow)
{
    const auto bottom = ramp("phantom", 21, 1.0f, 0);
    const auto top = ramp("mri", 11, 1000.0f, 1);
    ImageDisplayOptionsComponent::of(*top).setOpacity(0.5);
    GlSliceView view(Slice(Slice::AnatomicalPlane::Axial, Eigen::Vector3d::Zero()));
    view.setDecorationsVisible(false);
    view.setMmPerPixel(0.25);
    view.setVisibleData({ bottom.get(), top.get() });
    const auto worldAt = [&](int x, int y) { return view.worldAt(x + 0.5, y + 0.5, renderer->viewport()); };
    const auto draw = [&]
    {
        view.render(renderer->viewport());
        return frame();
    };
    const QImage both = draw();
    for (const auto& [x, y] : { std::pair(40, 30), std::pair(55, 60), std::pair(48, 48) })
        EXPECT_NEAR(qGreen(at(both, x, y)), 0.5 * mapped(*bottom, worldAt(x, y)) + 0.5 * mapped(*top, worldAt(x, y)), 2)
          << x << ", " << y;
    EXPECT_NEAR(qGreen(at(both, 12, 48)), mapped(*bottom, worldAt(12, 48)), 1) << "outside the top volume";

    ImageDisplayOptionsComponent::of(*top).setVisible(false);
    const QImage hidden = draw();
    for (const auto& [x, y] : { std::pair(40, 30), std::pair(55, 60) })
        EXPECT_NEAR(qGreen(at(hidden, x, y)), mapped(*bottom, worldAt(x, y)), 1) << x << ", " << y;

    ImageDisplayOptionsComponent::of(*bottom).setColorMap(ImageDisplayOptionsComponent::Hot);
    const QRgb hot = at(draw(), 48, 48);
    EXPECT_GT(qRed(hot), qBlue(hot) + 100) << "the hot map turns a middle value red";
}

// A dragged window/level goes to the top shown volume, or the one chosen, never to a view-wide value.
TEST_F(VolumeLayersTest, WindowLevelGestureAdjustsOneVolume)
{
    const auto bottom = ramp("phantom", 9, 1.0f, 0);
    const auto top = ramp("mri", 9, 1000.0f, 1);
    GlSliceView view;
    view.setVisibleData({ bottom.get(), top.get() });
    view.setWindowLevel(300, 200);
    EXPECT_EQ(ImageDisplayOptionsComponent::of(*top).window(), 300);
    EXPECT_EQ(ImageDisplayOptionsComponent::of(*bottom).window(), 1);
    view.setAdjustedVolume(bottom.get());
    view.setWindowLevel(0.5, 0.25);
    EXPECT_EQ(view.windowLevel(), std::pair(0.5, 0.25));
    EXPECT_EQ(ImageDisplayOptionsComponent::of(*top).window(), 300);
}

TEST(ImageDisplayOptions, AutoWindowIgnoresOutliersAndSettingsSurviveTheWorkspace)
{
    SharedImageSet volume("ct", Eigen::Vector3i(20, 20, 20), Eigen::Vector3d::Ones());
    for (int i = 0; i < 8000; ++i)
        volume.voxels()[size_t(i)] = float(i % 100);
    for (const int i : { 7, 999, 4321 })
        volume.voxels()[size_t(i)] = 3e6f;
    const auto [window, level] = ImageDisplayOptionsComponent::of(volume).autoWindowLevel();
    EXPECT_NEAR(window, 98, 1);
    EXPECT_NEAR(level, 49.5, 1);
    EXPECT_EQ(ImageDisplayOptionsComponent::of(volume).window(), window);
    // A CT opens in the soft-tissue window, its auto window one choice away.
    SharedImageSet ct("ct", Eigen::Vector3i(20, 20, 20), Eigen::Vector3d::Ones(), Data::Modality::CT);
    std::copy(volume.voxels().begin(), volume.voxels().end(), ct.voxels().begin());
    const ImageDisplayOptionsComponent& ctOptions = ImageDisplayOptionsComponent::of(ct);
    EXPECT_EQ(std::pair(ctOptions.window(), ctOptions.level()), std::pair(400.0, 40.0));
    EXPECT_EQ(ctOptions.presets(ct).front().window, window);

    ImageDisplayOptionsComponent& options = ImageDisplayOptionsComponent::of(volume);
    options.setWindowLevel(400, 40);
    options.setVisible(false);
    options.setOpacity(0.3);
    options.setColorMap(ImageDisplayOptionsComponent::Rainbow);
    Properties node;
    ImageDisplayOptionsComponent::saveTo(volume, node);
    SharedImageSet reopened("ct", Eigen::Vector3i(20, 20, 20), Eigen::Vector3d::Ones());
    EXPECT_TRUE(ImageDisplayOptionsComponent::loadInto(node, reopened).empty());
    const ImageDisplayOptionsComponent& read = ImageDisplayOptionsComponent::of(reopened);
    EXPECT_EQ(std::pair(read.window(), read.level()), std::pair(400.0, 40.0));
    EXPECT_EQ(std::tuple(read.visible(), read.opacity(), read.colorMap()), std::tuple(false, 0.3, 3));

    node.subProperties("displayOptions")->setParam("window", std::string("-5"));
    const LogExpectation warning(Log::Warning, "the window '-5' is not a positive number", 1);
    const std::vector<std::string> problems = ImageDisplayOptionsComponent::loadInto(node, reopened);
    ASSERT_EQ(problems.size(), 1u);
    EXPECT_NE(problems[0].find("'ct'"), std::string::npos) << problems[0];
}

} // namespace
} // namespace Kelvaros::Testing
