#include "gui/view/LayerCache.h"

#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>
#include <QPointer>

#include "gl/Functions.h"
#include "gl/StateGuard.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "LayerCache";

/// The depth format of the framebuffer bound for drawing; 0 when it has no depth or it cannot be told.
GLint drawDepthFormat(QOpenGLFunctions_3_3_Core& f, GLint framebuffer)
{
    GLint type = GL_NONE;
    const GLenum attachment = framebuffer == 0 ? GLenum(GL_DEPTH) : GLenum(GL_DEPTH_ATTACHMENT);
    f.glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, attachment, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE,
                                            &type);
    if (type == GL_NONE)
        return 0;
    GLint depthBits = 0;
    GLint stencilBits = 0;
    f.glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, attachment, GL_FRAMEBUFFER_ATTACHMENT_DEPTH_SIZE,
                                            &depthBits);
    const GLenum stencil = framebuffer == 0 ? GLenum(GL_STENCIL) : GLenum(GL_STENCIL_ATTACHMENT);
    f.glGetFramebufferAttachmentParameteriv(GL_DRAW_FRAMEBUFFER, stencil, GL_FRAMEBUFFER_ATTACHMENT_STENCIL_SIZE,
                                            &stencilBits);
    if (depthBits == 24 && stencilBits == 8)
        return GL_DEPTH24_STENCIL8;
    if (depthBits == 24 && stencilBits == 0)
        return GL_DEPTH_COMPONENT24;
    return 0;
}
} // namespace

/// The picture's colour texture and depth renderbuffer, in the share group they were made in.
struct LayerCache::Targets
{
    QPointer<QOpenGLContextGroup> group;
    GLuint color = 0;
    GLuint depth = 0;
    GLint depthFormat = 0;
    int width = 0;
    int height = 0;
    std::vector<double> key;

    Targets(QOpenGLFunctions_3_3_Core& f, int w, int h, GLint depthFormatOrNone)
      : group(QOpenGLContextGroup::currentContextGroup()), depthFormat(depthFormatOrNone), width(w), height(h)
    {
        f.glGenTextures(1, &color);
        f.glBindTexture(GL_TEXTURE_2D, color);
        f.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        f.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        f.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        if (depthFormat == 0)
            return;
        f.glGenRenderbuffers(1, &depth);
        f.glBindRenderbuffer(GL_RENDERBUFFER, depth);
        f.glRenderbufferStorage(GL_RENDERBUFFER, GLenum(depthFormat), w, h);
        f.glBindRenderbuffer(GL_RENDERBUFFER, 0);
    }
    ~Targets()
    {
        // Without a context of the group current the names stay until the group's last context goes.
        if (!group || QOpenGLContextGroup::currentContextGroup() != group)
            return;
        auto* f = QOpenGLContext::currentContext()->versionFunctions<QOpenGLFunctions_3_3_Core>();
        f->glDeleteTextures(1, &color);
        if (depth)
            f->glDeleteRenderbuffers(1, &depth);
    }
    Targets(const Targets&) = delete;
    Targets& operator=(const Targets&) = delete;

    [[nodiscard]] bool fits(int w, int h, GLint format) const
    {
        return group == QOpenGLContextGroup::currentContextGroup() && width == w && height == h &&
               depthFormat == format;
    }
};

LayerCache::LayerCache(bool withDepth) : m_withDepth(withDepth) {}

LayerCache::~LayerCache() = default;

bool LayerCache::draw(const std::vector<double>& key, const GL::Viewport& viewport, const Eigen::Vector3d& background,
                      const std::function<bool()>& draw)
{
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
    if (!f)
        return false;
    GLint target = 0;
    GLint source = 0;
    GLint multisampled = 0;
    f->glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &target);
    f->glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &source);
    f->glGetIntegerv(GL_SAMPLE_BUFFERS, &multisampled);
    if (multisampled) // a copy cannot go into a multisampled target
        return false;
    // A depth copy needs the same format at both ends.
    const GLint depthFormat = m_withDepth ? drawDepthFormat(*f, target) : 0;
    if (m_withDepth && depthFormat == 0)
        return false;
    if (!m_targets || !m_targets->fits(viewport.width, viewport.height, depthFormat))
    {
        GL::StateGuard bindings(GL::StateGuard::Bindings);
        m_targets.reset();
        m_targets = std::make_unique<Targets>(*f, viewport.width, viewport.height, depthFormat);
    }
    Targets& cache = *m_targets;
    GLuint framebuffer = 0;
    f->glGenFramebuffers(1, &framebuffer);
    f->glBindFramebuffer(GL_FRAMEBUFFER, framebuffer);
    f->glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, cache.color, 0);
    if (cache.depth)
        f->glFramebufferRenderbuffer(
          GL_FRAMEBUFFER, depthFormat == GL_DEPTH24_STENCIL8 ? GL_DEPTH_STENCIL_ATTACHMENT : GL_DEPTH_ATTACHMENT,
          GL_RENDERBUFFER, cache.depth);
    bool ready = f->glCheckFramebufferStatus(GL_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (ready && cache.key != key)
    {
        GL::StateGuard guard(GL::StateGuard::ViewportBox | GL::StateGuard::ScissorBox | GL::StateGuard::Depth);
        f->glViewport(0, 0, cache.width, cache.height);
        f->glScissor(0, 0, cache.width, cache.height);
        const Eigen::Vector3f rgb = background.cast<float>();
        f->glClearColor(rgb.x(), rgb.y(), rgb.z(), 1.0f);
        f->glClearDepth(1.0);
        f->glClearStencil(0);
        f->glDepthMask(GL_TRUE);
        f->glClear(GL_COLOR_BUFFER_BIT | (cache.depth ? GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT : 0));
        ready = draw();
        cache.key = ready ? key : std::vector<double>();
    }
    if (ready)
    {
        f->glBindFramebuffer(GL_READ_FRAMEBUFFER, framebuffer);
        f->glBindFramebuffer(GL_DRAW_FRAMEBUFFER, GLuint(target));
        // A whole-buffer copy (stencil along with a packed depth, no scissor) is a plain memory copy in a
        // software renderer; anything less is drawn as a textured quad, a full pass over the view's pixels. The
        // copy covers exactly the viewport, so leaving the scissor out changes nothing drawn.
        const GLbitfield depthBits =
          depthFormat == GL_DEPTH24_STENCIL8 ? GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT : GL_DEPTH_BUFFER_BIT;
        const GLbitfield copied = GL_COLOR_BUFFER_BIT | (cache.depth ? depthBits : 0);
        GL::StateGuard guard(GL::StateGuard::Enables | GL::StateGuard::ScissorBox | GL::StateGuard::Depth);
        f->glDisable(GL_SCISSOR_TEST);
        f->glBlitFramebuffer(0, 0, cache.width, cache.height, viewport.x, viewport.y, viewport.x + viewport.width,
                             viewport.y + viewport.height, copied, GL_NEAREST);
        if (!cache.depth)
        {
            // The viewport was not cleared before the copy: what is drawn over the picture starts from the far plane.
            f->glBindFramebuffer(GL_FRAMEBUFFER, GLuint(target));
            f->glEnable(GL_SCISSOR_TEST);
            f->glScissor(viewport.x, viewport.y, viewport.width, viewport.height);
            f->glDepthMask(GL_TRUE);
            f->glClearDepth(1.0);
            f->glClearStencil(0);
            f->glClear(GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT);
        }
    }
    f->glBindFramebuffer(GL_DRAW_FRAMEBUFFER, GLuint(target));
    f->glBindFramebuffer(GL_READ_FRAMEBUFFER, GLuint(source));
    f->glDeleteFramebuffers(1, &framebuffer);
    return ready;
}

} // namespace Kelvaros
