#include "gui/view/VolumeLayers.h"

#include <algorithm>

#include "gui/view/VolumeTexture.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{

VolumeLayers::VolumeLayers(std::function<void()> changed) : m_changed(std::move(changed)) {}

VolumeLayers::~VolumeLayers()
{
    for (SignalConnection& connection : m_connections)
        connection.disconnect();
}

void VolumeLayers::watch(const std::vector<SharedImageSet*>& volumes)
{
    for (SignalConnection& connection : m_connections)
        connection.disconnect();
    m_connections.clear();
    for (SharedImageSet* set : volumes)
        m_connections.push_back(ImageDisplayOptionsComponent::of(*set).signalChanged.connect([this] { m_changed(); }));
}

const std::vector<VolumeLayers::Layer>& VolumeLayers::acquire(const std::vector<SharedImageSet*>& volumes)
{
    std::vector<Layer> layers;
    for (SharedImageSet* set : volumes)
    {
        const ImageDisplayOptionsComponent& options = ImageDisplayOptionsComponent::of(*set);
        if (!options.visible())
            continue;
        if (std::shared_ptr<VolumeTexture> texture = VolumeTexture::acquire(*set))
            layers.push_back({ set, &options, std::move(texture) });
    }
    m_layers = std::move(layers);
    return m_layers;
}

VolumePlaneRenderer::Quad VolumeLayers::quadOf(const Layer& layer)
{
    VolumePlaneRenderer::Quad quad;
    quad.textureFromWorld = VolumeTexture::textureFromWorld(*layer.set);
    quad.bricks = layer.texture->bricks();
    quad.slices = layer.texture->sliceCount();
    quad.window = layer.options->window();
    quad.level = layer.options->level();
    quad.alpha = layer.options->opacity();
    quad.colorMap = layer.options->colorMap();
    return quad;
}

SharedImageSet* VolumeLayers::adjusted(const std::vector<SharedImageSet*>& volumes, const SharedImageSet* preferred)
{
    SharedImageSet* top = nullptr;
    for (SharedImageSet* set : volumes)
        if (ImageDisplayOptionsComponent::of(*set).visible())
        {
            if (set == preferred)
                return set;
            top = set;
        }
    return top;
}

} // namespace Kelvaros
