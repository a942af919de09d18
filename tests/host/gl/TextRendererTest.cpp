#include "gl/TextRenderer.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions>
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

/// The glyphs as QPainter draws whiteFont() at (x, y) of an image of the given size (y down).
QImage referenceGlyphs(const std::string& text, int x, int y, QSize size)
{
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    QFont font("DejaVu Sans");
    font.setPixelSize(18);
    font.setStyleStrategy(QFont::StyleStrategy(QFont::PreferAntialias | QFont::NoSubpixelAntialias));
    painter.setFont(font);
    painter.setPen(Qt::white);
    painter.drawText(x, y, QString::fromStdString(text));
    return image;
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

    const QImage reference = referenceGlyphs(text, 5, kHeight - 20, QSize(kWidth, kHeight));

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

// A label's rim is drawn with it: dark just around the glyphs, the glyphs themselves in the text's colour, and the
// background untouched a few pixels away.
TEST_F(TextRendererTest, RimSurroundsTheGlyphsUnderTheText)
{
    QOpenGLFunctions* f = QOpenGLContext::currentContext()->functions();
    f->glClearColor(0.5f, 0.5f, 0.5f, 1.0f);
    f->glClear(GL_COLOR_BUFFER_BIT);
    Font font = whiteFont();
    font.rim = 1;
    ASSERT_TRUE(
      TextRenderer::render(renderer->viewport(), "HIL", { 5, 20 }, font, TextRenderer::Left, TextRenderer::Baseline));
    const QImage drawn = frame();
    const QImage glyphs = referenceGlyphs("HIL", 5, kHeight - 20, QSize(kWidth, kHeight));
    const auto nearInk = [&glyphs](int x, int y, int reach)
    {
        for (int dy = -reach; dy <= reach; ++dy)
            for (int dx = -reach; dx <= reach; ++dx)
                if (glyphs.valid(x + dx, y + dy) && qAlpha(glyphs.pixel(x + dx, y + dy)) > 0)
                    return true;
        return false;
    };
    int rimPixels = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
        {
            const int red = qRed(drawn.pixel(x, y));
            if (qAlpha(glyphs.pixel(x, y)) == 255)
                ASSERT_EQ(red, 255) << "glyph pixel " << x << ", " << y;
            else if (!nearInk(x, y, 3))
                ASSERT_NEAR(red, 128, 1) << "background pixel " << x << ", " << y;
            else if (qAlpha(glyphs.pixel(x, y)) == 0 && nearInk(x, y, 1))
                rimPixels += red < 40;
        }
    EXPECT_GT(rimPixels, 60);
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
