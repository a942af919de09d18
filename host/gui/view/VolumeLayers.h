#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "core/Signal.h"
#include "gui/view/VolumePlaneRenderer.h"

namespace Kelvaros
{

class ImageDisplayOptionsComponent;
class SharedImageSet;
class VolumeTexture;

/// The volumes a view draws, as layers bottom to top in the order of the view's data, each with its own display
/// options; a hidden volume is no layer. It also tells its view when any option of its volumes changes, so that
/// a change made in one view or a panel redraws every view showing the volume.
///
/// Internal to KelvarosGui. Main thread only.
class VolumeLayers
{
public:
    struct Layer
    {
        SharedImageSet* set = nullptr;
        const ImageDisplayOptionsComponent* options = nullptr;
        std::shared_ptr<VolumeTexture> texture;
    };

    /// `changed` is called after an option of a watched volume changed.
    explicit VolumeLayers(std::function<void()> changed);
    ~VolumeLayers();
    VolumeLayers(const VolumeLayers&) = delete;
    VolumeLayers& operator=(const VolumeLayers&) = delete;

    /// Watches the options of exactly these volumes (each given its options now when it has none).
    void watch(const std::vector<SharedImageSet*>& volumes);
    /// The shown volumes among `volumes` with their textures in the current context (those without one are left
    /// out). The textures are kept until the next call, so that drawing never waits for an upload.
    [[nodiscard]] const std::vector<Layer>& acquire(const std::vector<SharedImageSet*>& volumes);

    /// A quad of the layer's texture drawn with its options; the caller sets the corners and clipFromWorld.
    [[nodiscard]] static VolumePlaneRenderer::Quad quadOf(const Layer& layer);

    /// The volume whose window and level a gesture changes: `preferred` when it is among the shown volumes,
    /// otherwise the top shown one; null when none is shown. `preferred` is only compared, never used.
    [[nodiscard]] static SharedImageSet* adjusted(const std::vector<SharedImageSet*>& volumes,
                                                  const SharedImageSet* preferred);

private:
    std::function<void()> m_changed;
    std::vector<SignalConnection> m_connections;
    std::vector<Layer> m_layers;
};

} // namespace Kelvaros
