#include "gl/Pipeline.h"
#include "gl/VertexBuffer.h"

#include "GlTestFixture.h"
#include "LogExpectation.h"

namespace Kelvaros::GL::Testing
{
namespace
{
using Kelvaros::Testing::LogExpectation;
using Vertices = std::vector<Eigen::Vector3d>;
const Eigen::Vector4d kRed(1, 0, 0, 1);
const Eigen::Vector4d kGreen(0, 1, 0, 1);

std::vector<int> rowsWith(const QImage& image, int x, QRgb colour)
{
    std::vector<int> rows;
    for (int y = 0; y < image.height(); ++y)
        if (image.pixel(x, image.height() - 1 - y) == colour)
            rows.push_back(y);
    return rows;
}

std::vector<int> columnsWith(const QImage& image, int y, QRgb colour)
{
    std::vector<int> columns;
    for (int x = 0; x < image.width(); ++x)
        if (image.pixel(x, image.height() - 1 - y) == colour)
            columns.push_back(x);
    return columns;
}

using DrawingTest = GlTest;

TEST_F(DrawingTest, TwoPixelLinesCoverTwoPixelsAcrossAndEndAtTheirEndPoints)
{
    VertexBuffer buffer(GL_STATIC_DRAW);
    ASSERT_TRUE(
      buffer.setData({ { 10, 20, 0 }, { 50, 20, 0 }, { 80, 10, 0 }, { 80, 50, 0 } }, { kRed, kRed, kGreen, kGreen }));
    ASSERT_TRUE(Pipeline::enable(pixelView(), Pipeline::VertexColor));
    Pipeline::setLineWidth(2.0);
    ASSERT_TRUE(buffer.draw(GL_LINES));

    const QImage image = frame();
    for (int x = 10; x < 50; ++x)
        EXPECT_EQ(rowsWith(image, x, qRgb(255, 0, 0)), (std::vector<int>{ 19, 20 })) << "column " << x;
    for (int y = 10; y < 50; ++y)
        EXPECT_EQ(columnsWith(image, y, qRgb(0, 255, 0)), (std::vector<int>{ 79, 80 })) << "row " << y;
    EXPECT_EQ(inkBox(image), (Box{ 10, 80, 10, 49 }));
}

TEST_F(DrawingTest, Ortho2dPutsTheFirstAndLastPixelAtTheCorners)
{
    Vertices squares;
    for (const Eigen::Vector3d& origin : { Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(kWidth - 1, kHeight - 1, 0) })
        for (const Eigen::Vector3d& corner :
             { Eigen::Vector3d(0, 0, 0), Eigen::Vector3d(1, 0, 0), Eigen::Vector3d(1, 1, 0), Eigen::Vector3d(0, 0, 0),
               Eigen::Vector3d(1, 1, 0), Eigen::Vector3d(0, 1, 0) })
            squares.push_back(origin + corner);
    VertexBuffer buffer;
    ASSERT_TRUE(buffer.setData(squares));
    ASSERT_TRUE(Pipeline::enable(pixelView(), Pipeline::UniformColor));
    Pipeline::setColor({ 0, 0, 1, 1 });
    ASSERT_TRUE(buffer.draw(GL_TRIANGLES));

    const QImage image = frame();
    EXPECT_EQ(at(image, 0, 0), qRgb(0, 0, 255));
    EXPECT_EQ(at(image, kWidth - 1, kHeight - 1), qRgb(0, 0, 255));
    int lit = 0;
    for (int y = 0; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            lit += at(image, x, y) != qRgb(0, 0, 0);
    EXPECT_EQ(lit, 2);
}

TEST_F(DrawingTest, RefillWithinCapacityKeepsTheBufferObjectAndGrowingReallocatesIt)
{
    const auto gpuBytes = [this](unsigned id)
    {
        GLint bytes = 0;
        f->glBindBuffer(GL_ARRAY_BUFFER, id);
        f->glGetBufferParameteriv(GL_ARRAY_BUFFER, GL_BUFFER_SIZE, &bytes);
        return bytes;
    };
    const auto redraw = [this](VertexBuffer& buffer, const Vertices& lines)
    {
        f->glClear(GL_COLOR_BUFFER_BIT);
        ASSERT_TRUE(buffer.setData(lines));
        ASSERT_TRUE(buffer.draw(GL_LINES));
    };
    VertexBuffer buffer(GL_DYNAMIC_DRAW);
    ASSERT_TRUE(Pipeline::enable(pixelView(), Pipeline::UniformColor));
    Pipeline::setLineWidth(2.0);

    redraw(buffer, { { 10, 20, 0 }, { 50, 20, 0 }, { 10, 40, 0 }, { 50, 40, 0 } });
    const unsigned id = buffer.bufferId();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(gpuBytes(id), 4 * 3 * static_cast<int>(sizeof(float)));

    redraw(buffer, { { 10, 30, 0 }, { 50, 30, 0 } });
    EXPECT_EQ(buffer.bufferId(), id);
    EXPECT_EQ(gpuBytes(id), 4 * 3 * static_cast<int>(sizeof(float)));
    EXPECT_EQ(rowsWith(frame(), 30, qRgb(255, 255, 255)), (std::vector<int>{ 29, 30 })) << "only the new line";

    redraw(buffer, { { 10, 10, 0 }, { 50, 10, 0 }, { 10, 30, 0 }, { 50, 30, 0 }, { 10, 50, 0 }, { 50, 50, 0 } });
    EXPECT_EQ(gpuBytes(buffer.bufferId()), 6 * 3 * static_cast<int>(sizeof(float)));
    EXPECT_EQ(rowsWith(frame(), 30, qRgb(255, 255, 255)), (std::vector<int>{ 9, 10, 29, 30, 49, 50 }));
}

TEST_F(DrawingTest, RefusesInconsistentInputWithAnError)
{
    VertexBuffer buffer;
    {
        LogExpectation error(Log::Error, "1 positions but 2 colours");
        EXPECT_FALSE(buffer.setData({ { 0, 0, 0 } }, { kRed, kRed }));
    }
    {
        LogExpectation error(Log::Error, "index 1 refers past");
        EXPECT_FALSE(buffer.setData({ { 0, 0, 0 } }, {}, {}, { 0, 1 }));
    }
    {
        LogExpectation error(Log::Error, "pipeline enabled first");
        EXPECT_FALSE(buffer.draw(GL_LINES));
    }
    {
        LogExpectation error(Log::Error, "unknown shader selection 4");
        EXPECT_FALSE(Pipeline::enable(pixelView(), 4));
    }
}

} // namespace
} // namespace Kelvaros::GL::Testing
