#include "gl/TextRenderer.h"

#include <QPainter>

#include "GlTestFixture.h"
#include "LogExpectation.h"

namespace Kelvaros::GL::Testing
{
namespace
{
using Kelvaros::Testing::LogExpectation;

constexpr int kAnchorX = 64;
constexpr int kAnchorY = 32;

Font whiteFont(const std::string& family = "DejaVu Sans")
{
    return Font{ family, 18, 0, 1, Eigen::Vector4d::Ones() };
}

/// Which edge (or centre) of the drawn ink a case measures from the anchor.
enum class Feature
{
    Left,
    CentreX,
    Right,
    Top,
    CentreY,
    Bottom
};

struct AlignmentCase
{
    const char* name;
    int horizontal;
    int vertical;
    Feature feature;
    int min; // allowed offset of the feature from the anchor, in pixels
    int max;
};

void PrintTo(const AlignmentCase& c, std::ostream* os)
{
    *os << c.name;
}

int offsetOf(const Box& ink, Feature feature)
{
    switch (feature)
    {
        case Feature::Left:
            return ink.left - kAnchorX;
        case Feature::CentreX:
            return (ink.left + ink.right) / 2 - kAnchorX;
        case Feature::Right:
            return ink.right - kAnchorX;
        case Feature::Top:
            return ink.top - kAnchorY;
        case Feature::CentreY:
            return (ink.bottom + ink.top) / 2 - kAnchorY;
        default:
            return ink.bottom - kAnchorY;
    }
}

class TextAlignmentTest
  : public GlTest
  , public ::testing::WithParamInterface<AlignmentCase>
{
};

// "H" has no descender and little side bearing, so its ink marks the baseline and the advance closely.
TEST_P(TextAlignmentTest, InkLiesWhereTheAlignmentPutsIt)
{
    const AlignmentCase c = GetParam();
    ASSERT_TRUE(
      TextRenderer::render(renderer->viewport(), "H", { kAnchorX, kAnchorY }, whiteFont(), c.horizontal, c.vertical));
    const int offset = offsetOf(inkBox(frame()), c.feature);
    EXPECT_GE(offset, c.min);
    EXPECT_LE(offset, c.max);
}

INSTANTIATE_TEST_SUITE_P(
  Alignments, TextAlignmentTest,
  ::testing::Values(
    AlignmentCase{ "LeftEdge", TextRenderer::Left, TextRenderer::Baseline, Feature::Left, 0, 3 },
    AlignmentCase{ "CentreX", TextRenderer::Centre, TextRenderer::Baseline, Feature::CentreX, -2, 1 },
    AlignmentCase{ "RightEdge", TextRenderer::Right, TextRenderer::Baseline, Feature::Right, -4, -1 },
    AlignmentCase{ "BaselineBottom", TextRenderer::Left, TextRenderer::Baseline, Feature::Bottom, 0, 0 },
    AlignmentCase{ "TopBelowAnchor", TextRenderer::Left, TextRenderer::Top, Feature::Top, -7, -1 },
    AlignmentCase{ "MiddleCentreY", TextRenderer::Left, TextRenderer::Middle, Feature::CentreY, -2, 2 },
    AlignmentCase{ "BottomAboveAnchor", TextRenderer::Left, TextRenderer::Bottom, Feature::Bottom, 1, 7 }),
  [](const ::testing::TestParamInfo<AlignmentCase>& info) { return std::string(info.param.name); });

using TextRendererTest = GlTest;

TEST_F(TextRendererTest, MatchesQPainterPixelForPixelAtOneToOne)
{
    const std::string text = "Depth -12.34 mm";
    ASSERT_TRUE(TextRenderer::render(renderer->viewport(), text, { 5, 20 }, whiteFont(), TextRenderer::Left,
                                     TextRenderer::Baseline));
    const QImage drawn = frame();

    QImage reference(kWidth, kHeight, QImage::Format_ARGB32_Premultiplied);
    reference.fill(Qt::transparent);
    QPainter painter(&reference);
    QFont font("DejaVu Sans");
    font.setPixelSize(18);
    font.setStyleStrategy(QFont::StyleStrategy(QFont::PreferAntialias | QFont::NoSubpixelAntialias));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(5, kHeight - 20, QString::fromStdString(text));
    painter.end();

    int inked = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
        {
            const int expected = qAlpha(reference.pixel(x, y));
            inked += expected > 0;
            ASSERT_NEAR(qRed(drawn.pixel(x, y)), expected, 1) << "pixel " << x << ", " << y;
        }
    EXPECT_GT(inked, 100);
}

TEST_F(TextRendererTest, MissingFamilyFallsBackWithAWarningAndUnknownAlignmentIsRefused)
{
    {
        LogExpectation warning(Log::Warning, "font family \"No Such Family\" is not available");
        ASSERT_TRUE(TextRenderer::render(renderer->viewport(), "1.00", { kAnchorX, kAnchorY },
                                         whiteFont("No Such Family"), TextRenderer::Left, TextRenderer::Top));
        EXPECT_GT(inkBox(frame()).right, kAnchorX);
    }
    LogExpectation error(Log::Error, "unknown text alignment (horizontal 3, vertical 0)");
    EXPECT_FALSE(TextRenderer::render(renderer->viewport(), "1.00", { kAnchorX, kAnchorY }, whiteFont(), 3, 0));
}

} // namespace
} // namespace Kelvaros::GL::Testing
