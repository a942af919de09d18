#include "gui/view/VolumeTexture.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <thread>
#include <vector>

#include <QOpenGLContext>
#include <QOpenGLFunctions_3_3_Core>

#include <Eigen/LU>

#include "core/Log.h"
#include "gl/Functions.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "VolumeTexture";

std::atomic<std::size_t> g_maxBrickBytes{ std::size_t(8) << 20 };

using Key = std::pair<QOpenGLContextGroup*, const SharedImageSet*>;

std::map<Key, std::weak_ptr<VolumeTexture>>& registry()
{
    static std::map<Key, std::weak_ptr<VolumeTexture>> textures;
    return textures;
}

/// Textures uploaded by a loader, held until their first acquire.
std::map<Key, std::shared_ptr<VolumeTexture>>& adopted()
{
    static std::map<Key, std::shared_ptr<VolumeTexture>> textures;
    return textures;
}

/// Texture names released while no context of their group was current, deleted at the group's next acquire.
std::map<QOpenGLContextGroup*, std::vector<unsigned>>& pendingDeletes()
{
    static std::map<QOpenGLContextGroup*, std::vector<unsigned>> names;
    return names;
}

void deletePending(QOpenGLContextGroup* group, QOpenGLFunctions_3_3_Core& f)
{
    std::vector<unsigned>& names = pendingDeletes()[group];
    if (!names.empty())
        f.glDeleteTextures(GLsizei(names.size()), names.data());
    names.clear();
}
} // namespace

VolumeTexture::VolumeTexture(QOpenGLContextGroup* group) : m_group(group) {}

VolumeTexture::~VolumeTexture()
{
    release(m_bricks);
}

void VolumeTexture::release(const std::vector<Brick>& bricks)
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    const auto pending = pendingDeletes().find(m_group);
    if (!m_group || pending == pendingDeletes().end())
        return; // the group is gone, and the names with it
    for (const Brick& brick : bricks)
        if (context && context->shareGroup() == m_group)
            context->versionFunctions<QOpenGLFunctions_3_3_Core>()->glDeleteTextures(1, &brick.texture);
        else
            pending->second.push_back(brick.texture);
}

void VolumeTexture::setMaxBrickBytes(std::size_t bytes)
{
    g_maxBrickBytes = bytes;
}

std::size_t VolumeTexture::maxBrickBytes()
{
    return g_maxBrickBytes;
}

std::vector<VolumeTexture::Brick> VolumeTexture::layout(const Eigen::Vector3i& dimensions, std::size_t maxBytes)
{
    const int slices = std::max(dimensions.z(), 1);
    const std::size_t sliceBytes = std::max<std::size_t>(
      std::size_t(std::max(dimensions.x(), 1)) * std::size_t(std::max(dimensions.y(), 1)) * sizeof(float), 1);
    const int perBrick = int(std::clamp<std::size_t>(maxBytes / sliceBytes, 2, std::size_t(std::max(slices, 2))));
    std::vector<Brick> bricks;
    for (int first = 0;; first += perBrick - 1)
    {
        bricks.push_back({ 0, first, std::min(perBrick, slices - first) });
        if (first + perBrick >= slices)
            return bricks;
    }
}

void VolumeTexture::watchGroup(QOpenGLContextGroup* group)
{
    if (pendingDeletes().count(group))
        return;
    pendingDeletes()[group];
    // Names die with their group; textures still held must not delete theirs later in another group that gets
    // the same address.
    QObject::connect(group, &QObject::destroyed,
                     [group]
                     {
                         for (auto it = adopted().begin(); it != adopted().end();)
                             it = it->first.first == group ? adopted().erase(it) : std::next(it);
                         pendingDeletes().erase(group);
                         for (auto it = registry().begin(); it != registry().end();)
                         {
                             if (it->first.first != group)
                             {
                                 ++it;
                                 continue;
                             }
                             if (const auto texture = it->second.lock())
                                 texture->m_group = nullptr;
                             it = registry().erase(it);
                         }
                     });
}

std::shared_ptr<VolumeTexture> VolumeTexture::acquire(const SharedImageSet& set)
{
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
    if (!f || set.numImages() == 0)
        return nullptr;
    QOpenGLContextGroup* group = QOpenGLContext::currentContext()->shareGroup();
    watchGroup(group);
    deletePending(group, *f);
    for (auto it = registry().begin(); it != registry().end();)
        it = it->second.expired() ? registry().erase(it) : std::next(it);
    std::weak_ptr<VolumeTexture>& slot = registry()[{ group, &set }];
    std::shared_ptr<VolumeTexture> texture = slot.lock();
    adopted().erase({ group, &set });
    if (!texture)
    {
        texture.reset(new VolumeTexture(group));
        slot = texture;
    }
    const std::vector<float>& voxels = set.voxels(set.selectedImage());
    if (texture->m_stale || texture->m_uploadedVoxels != voxels.data() ||
        texture->m_uploadedDimensions != set.dimensions())
        texture->upload(set);
    return texture;
}

std::shared_ptr<VolumeTexture> VolumeTexture::uploadHere(const SharedImageSet& set)
{
    QOpenGLContext* context = QOpenGLContext::currentContext();
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
    if (!context || !f || set.numImages() == 0)
        return nullptr;
    std::shared_ptr<VolumeTexture> texture(new VolumeTexture(context->shareGroup()));
    // A pause after each brick lets the main thread take the share group's lock to compose the window.
    texture->upload(set, [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
    // The views' contexts may use the texture only once it is complete.
    f->glFinish();
    return texture;
}

void VolumeTexture::adopt(const SharedImageSet& set, std::shared_ptr<VolumeTexture> texture)
{
    if (!texture || !texture->m_group)
        return;
    watchGroup(texture->m_group);
    registry()[{ texture->m_group, &set }] = texture;
    // Held until a view first acquires it: the volume is drawn at the next frame, not at once.
    adopted()[{ texture->m_group, &set }] = std::move(texture);
}

void VolumeTexture::markChanged(const SharedImageSet& set)
{
    for (auto& [key, weak] : registry())
        if (key.second == &set)
            if (const auto texture = weak.lock())
                texture->m_stale = true;
}

void VolumeTexture::upload(const SharedImageSet& set, const std::function<void()>& betweenBricks)
{
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
    const std::vector<float>& voxels = set.voxels(set.selectedImage());
    const Eigen::Vector3i& d = set.dimensions();
    std::vector<Brick> bricks = layout(d, maxBrickBytes());
    // Names are kept while there is a brick for them.
    for (std::size_t i = 0; i < bricks.size(); ++i)
        if (i < m_bricks.size())
            bricks[i].texture = m_bricks[i].texture;
        else
            f->glGenTextures(1, &bricks[i].texture);
    if (m_bricks.size() > bricks.size())
        release({ m_bricks.begin() + std::ptrdiff_t(bricks.size()), m_bricks.end() });
    m_bricks = bricks;

    GLint previous = 0;
    f->glGetIntegerv(GL_TEXTURE_BINDING_3D, &previous);
    f->glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    const std::size_t sliceValues = std::size_t(d.x()) * std::size_t(d.y());
    for (std::size_t i = 0; i < m_bricks.size(); ++i)
    {
        const Brick& brick = m_bricks[i];
        f->glBindTexture(GL_TEXTURE_3D, brick.texture);
        f->glTexImage3D(GL_TEXTURE_3D, 0, GL_R32F, d.x(), d.y(), brick.slices, 0, GL_RED, GL_FLOAT,
                        voxels.data() + sliceValues * std::size_t(brick.firstSlice));
        f->glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
        f->glTexParameteri(GL_TEXTURE_3D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
        for (const GLenum wrap : { GL_TEXTURE_WRAP_S, GL_TEXTURE_WRAP_T, GL_TEXTURE_WRAP_R })
            f->glTexParameteri(GL_TEXTURE_3D, wrap, GL_CLAMP_TO_EDGE);
        if (betweenBricks && i + 1 < m_bricks.size())
            betweenBricks();
    }
    f->glBindTexture(GL_TEXTURE_3D, GLuint(previous));
    if (f->glGetError() != GL_NO_ERROR)
        Log::logf(Log::Error, kCategory, "cannot upload the {}x{}x{} volume \"{}\"", d.x(), d.y(), d.z(), set.name());
    m_uploadedVoxels = voxels.data();
    m_uploadedDimensions = d;
    m_stale = false;
    static std::atomic<std::uint64_t> uploads{ 0 };
    m_generation = ++uploads;
}

Eigen::Matrix4d VolumeTexture::textureFromWorld(const SharedImageSet& set)
{
    // image point p → texture coordinate p / extent + 0.5 (the grid is centred on the image frame's origin)
    Eigen::Matrix4d textureFromImage = Eigen::Matrix4d::Identity();
    textureFromImage.diagonal().head<3>() = set.extent().cwiseInverse();
    textureFromImage.block<3, 1>(0, 3).setConstant(0.5);
    return textureFromImage * set.matrix(-1).inverse();
}

} // namespace Kelvaros
