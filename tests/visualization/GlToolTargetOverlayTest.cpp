#include "visualization/GlToolTargetOverlay.h"

#include <set>

#include <QOpenGLContext>
#include <QOpenGLFunctions>

#include "../host/gui/GuiTestFixture.h"

namespace Kelvaros::Testing
{
namespace
{
using ToolTargetOverlayTest = GuiTest;

// The 96 x 96 framebuffer with the default layout: bar from row 25 (bottom line) to row 94 (top line), L = 69 pixel
// rows for 100 mm, 20 mm across the width, centre line at x = 48. Lines are 2 pixels wide: a line at row y covers
// rows y − 1 and y.
struct OverlayCase
{
    const char* what;
    Eigen::Vector2d tip, shaft;
    std::set<int> redRows;
    int greenX, greenY; // a pixel on the needle segment
};

TEST_F(ToolTargetOverlayTest, DepthLineAndNeedleLandOnTheirPixels)
{
    // The needle is drawn vertical at 5 mm left of the path: columns 23 and 24.
    const OverlayCase cases[] = {
        { "tip at the target: red over the bottom line", { -5, 0 }, { -5, 50 }, { 24, 25 }, 24, 45 },
        { "tip at the bar's full length: no red line", { -5, 100 }, { -5, 150 }, {}, 24, 95 },
        // 69 · 0.5 = 34.5 is truncated to 34, not rounded
        { "tip half way", { -5, 50 }, { -5, 100 }, { 58, 59 }, 24, 75 },
        { "tip beyond the target: green below the bottom line", { -5, -10 }, { -5, 40 }, {}, 24, 20 },
    };
    for (const OverlayCase& c : cases)
    {
        SCOPED_TRACE(c.what);
        GlToolTargetOverlay overlay;
        overlay.setToolPoints(c.tip, c.shaft);
        ASSERT_TRUE(renderer->makeCurrent());
        renderer->context()->functions()->glClear(GL_COLOR_BUFFER_BIT);
        overlay.render(renderer->viewport());
        const QImage image = frame();
        std::set<int> redRows;
        for (int y = 0; y < kHeight; ++y)
            if (at(image, 70, y) == qRgb(255, 0, 0))
                redRows.insert(y);
        EXPECT_EQ(redRows, c.redRows);
        EXPECT_EQ(at(image, c.greenX, c.greenY), qRgb(0, 255, 0));
        EXPECT_EQ(at(image, 20, 94), qRgb(255, 255, 255)) << "top line";
        EXPECT_EQ(at(image, 48, 70), qRgb(255, 255, 255)) << "centre line";
        bool labelDrawn = false;
        for (int y = 3; y < 23; ++y)
            for (int x = 30; x < 66; ++x)
                labelDrawn = labelDrawn || qGray(at(image, x, y)) > 128;
        EXPECT_TRUE(labelDrawn) << "no label under the bar";
    }
}

TEST(ToolTargetOverlayLabelTest, ShowsTheSignedDepthWithTwoDecimals)
{
    const std::pair<double, const char*> cases[] = { { -3.14159, "-3.14" }, { 42.0, "42.00" }, { 7.006, "7.01" } };
    for (const auto& [depth, text] : cases)
        EXPECT_EQ(GlToolTargetOverlay::depthLabel(Eigen::Vector2d(-1.0, depth)), text);
}

} // namespace
} // namespace Kelvaros::Testing
