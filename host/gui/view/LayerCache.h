#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <Eigen/Core>

#include "gl/Viewport.h"

namespace Kelvaros
{

/// The picture of a view's slow layer (its reformatted volumes), kept while nothing it shows changes: a tool
/// moving over a still image then costs a copy of the picture rather than a trilinear lookup per pixel. With depth,
/// the layer's depth is kept and copied too, so that objects drawn after it are still hidden behind it.
///
/// Internal to KelvarosGui. Main thread only, with a context current; textures belong to the share group of the
/// context they were made in, framebuffers (which contexts do not share) are made for each use.
class LayerCache
{
public:
    explicit LayerCache(bool withDepth);
    ~LayerCache();
    LayerCache(const LayerCache&) = delete;
    LayerCache& operator=(const LayerCache&) = delete;

    /// Copies the cached picture into `viewport` of the bound framebuffer, first drawing it again with `draw` (into
    /// a target of the viewport's size, cleared to `background` and, with depth, to the far plane) when `key`, all
    /// that the picture depends on, changed. The viewport's depth is then the picture's, or without depth the far
    /// plane, so it need not be cleared before. False when the bound framebuffer cannot take the copy
    /// (multisampled, or its depth of another format) or the picture could not be drawn; the caller then draws
    /// directly.
    bool draw(const std::vector<double>& key, const GL::Viewport& viewport, const Eigen::Vector3d& background,
              const std::function<bool()>& draw);

private:
    struct Targets;

    bool m_withDepth;
    std::unique_ptr<Targets> m_targets;
};

} // namespace Kelvaros
