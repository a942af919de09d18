#include "gl/StateGuard.h"

#include <stdexcept>

#include "gl/Pipeline.h"
#include "gl/TextRenderer.h"
#include "gl/VertexBuffer.h"

#include "GlTestFixture.h"

namespace Kelvaros::GL::Testing
{
namespace
{
/// The state that drawing a line and a label changes, as one comparable list.
std::vector<double> snapshot(QOpenGLFunctions_3_3_Core& f)
{
    GLint viewport[4], blendSource, program, vertexArray, arrayBuffer, texture;
    GLfloat lineWidth;
    f.glGetIntegerv(GL_VIEWPORT, viewport);
    f.glGetIntegerv(GL_BLEND_SRC_RGB, &blendSource);
    f.glGetIntegerv(GL_CURRENT_PROGRAM, &program);
    f.glGetIntegerv(GL_VERTEX_ARRAY_BINDING, &vertexArray);
    f.glGetIntegerv(GL_ARRAY_BUFFER_BINDING, &arrayBuffer);
    f.glGetIntegerv(GL_TEXTURE_BINDING_2D, &texture);
    f.glGetFloatv(GL_LINE_WIDTH, &lineWidth);
    const Pipeline::State pipeline = Pipeline::state();
    return { double(f.glIsEnabled(GL_BLEND)),
             double(f.glIsEnabled(GL_DEPTH_TEST)),
             double(blendSource),
             double(viewport[0]),
             double(viewport[1]),
             double(viewport[2]),
             double(viewport[3]),
             double(program),
             double(vertexArray),
             double(arrayBuffer),
             double(texture),
             lineWidth,
             pipeline.lineWidth,
             double(pipeline.enabled) };
}

using StateGuardTest = GlTest;

TEST_F(StateGuardTest, RestoresWhatDrawingChangedAlsoWhenLeftByAnException)
{
    f->glEnable(GL_DEPTH_TEST);
    f->glEnable(GL_BLEND);
    f->glBlendFunc(GL_ONE, GL_ZERO);
    Pipeline::setLineWidth(3.0);
    const std::vector<double> before = snapshot(*f);
    try
    {
        StateGuard guard(StateGuard::All);
        f->glDisable(GL_BLEND);
        f->glViewport(5, 6, 7, 8);
        VertexBuffer buffer;
        ASSERT_TRUE(buffer.setData({ { 1, 1, 0 }, { 9, 9, 0 } }));
        ASSERT_TRUE(Pipeline::enable(pixelView(), Pipeline::UniformColor));
        Pipeline::setLineWidth(2.0);
        ASSERT_TRUE(buffer.draw(GL_LINES));
        ASSERT_TRUE(
          TextRenderer::render(pixelView(), "1.00", { 64, 2 }, Font{}, TextRenderer::Centre, TextRenderer::Bottom));
        ASSERT_NE(snapshot(*f), before);
        throw std::runtime_error("leaving early");
    }
    catch (const std::runtime_error&)
    {
    }
    EXPECT_EQ(snapshot(*f), before);
}

} // namespace
} // namespace Kelvaros::GL::Testing
