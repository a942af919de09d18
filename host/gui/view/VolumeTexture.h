#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"

class QOpenGLContextGroup;

namespace Kelvaros
{

class SharedImageSet;

/// The GPU copy of a volume's selected image: single-channel 32-bit float 3D textures with linear filtering, made
/// once per OpenGL share group and shared by every view that shows the set. The last holder to let go releases
/// the textures (deleted the next time a context of its group is current, since a holder may go while none is).
///
/// The volume is cut along its slices into bricks of at most maxBrickBytes(), each its own texture, and
/// neighbouring bricks share one slice so that every lookup between two slices lies inside one brick. A driver
/// holds the share group's lock for the whole of one texture's allocation and copy: a loader's worker uploading a
/// 300 MB scan as one texture kept the window (whose composition takes the same lock) frozen for a quarter of a
/// second, while a brick holds it for a few milliseconds.
///
/// 32-bit floats rather than half floats: a 16-bit scan holds integer values up to 65535, and half floats keep
/// integers exact only up to 2048, so CT numbers and MR intensities would be shown rounded by up to 32.
///
/// Main thread only (where the views draw), but for uploadHere().
class KELVAROS_API VolumeTexture
{
public:
    /// The texture of `set` in the share group of the current context, uploaded on first use. A set whose voxels
    /// or size changed since the upload (another image selected, voxels reallocated, or markChanged) is uploaded
    /// again into the same texture. nullptr without a current context.
    [[nodiscard]] static std::shared_ptr<VolumeTexture> acquire(const SharedImageSet& set);
    /// Uploads `set` in the calling thread's current context, which must share its group with the views' (a
    /// loader's worker with a context of its own), so that the views need not upload at their first drawing;
    /// adopt() then registers the result on the main thread. nullptr without a current context. The returned
    /// texture must be handed to the main thread, never destroyed on the worker.
    [[nodiscard]] static std::shared_ptr<VolumeTexture> uploadHere(const SharedImageSet& set);
    /// Main thread: `texture`, from uploadHere(set), becomes what acquire(set) returns in its share group.
    static void adopt(const SharedImageSet& set, std::shared_ptr<VolumeTexture> texture);
    /// Voxel values were edited in place: the next acquire uploads them again.
    static void markChanged(const SharedImageSet& set);

    /// The largest brick (bytes, default 8 MiB); a brick holds at least two slices whatever their size. Applies to
    /// uploads that follow.
    static void setMaxBrickBytes(std::size_t bytes);
    [[nodiscard]] static std::size_t maxBrickBytes();

    /// Slices firstSlice to firstSlice + slices - 1 of the volume in one texture.
    struct Brick
    {
        unsigned texture = 0; ///< OpenGL texture name (GL_TEXTURE_3D) in the group's contexts
        int firstSlice = 0;
        int slices = 0;
    };
    /// How a volume of these dimensions is cut: bricks in slice order, each starting at the previous one's last
    /// slice; one brick for a volume of one slice.
    [[nodiscard]] static std::vector<Brick> layout(const Eigen::Vector3i& dimensions, std::size_t maxBytes);

    ~VolumeTexture();
    VolumeTexture(const VolumeTexture&) = delete;
    VolumeTexture& operator=(const VolumeTexture&) = delete;

    [[nodiscard]] const std::vector<Brick>& bricks() const { return m_bricks; }
    /// Slices of the whole volume at the last upload.
    [[nodiscard]] int sliceCount() const { return m_uploadedDimensions.z(); }
    /// Unique to the contents of the last upload among all textures: an image drawn from the texture may be
    /// reused while this is unchanged.
    [[nodiscard]] std::uint64_t generation() const { return m_generation; }
    /// Maps world points (mm) to texture coordinates for the set's current placement: the grid's outer faces are
    /// at 0 and 1, voxel centres at (v + 0.5) / d.
    [[nodiscard]] static Eigen::Matrix4d textureFromWorld(const SharedImageSet& set);

private:
    explicit VolumeTexture(QOpenGLContextGroup* group);
    static void watchGroup(QOpenGLContextGroup* group);
    /// `betweenBricks` runs after each brick but the last.
    void upload(const SharedImageSet& set, const std::function<void()>& betweenBricks = {});
    void release(const std::vector<Brick>& bricks);

    QOpenGLContextGroup* m_group; // null once the group is destroyed
    std::vector<Brick> m_bricks;
    const float* m_uploadedVoxels = nullptr;
    Eigen::Vector3i m_uploadedDimensions = Eigen::Vector3i::Zero();
    bool m_stale = false;
    std::uint64_t m_generation = 0;
};

} // namespace Kelvaros
