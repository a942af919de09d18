#pragma once

#include <Eigen/Core>

#include "core/Export.h"
#include "gl/Viewport.h"

namespace Kelvaros::GL
{

/// What a draw call needs to place vertices on the screen: model-view and projection (column vectors, OpenGL's
/// conventions) and the viewport they map into.
struct KELVAROS_API ViewState
{
    ViewState() = default;
    /// Identity model-view and projection on the given viewport.
    explicit ViewState(const Viewport& viewport);

    /// Window coordinates in pixels (origin at the framebuffer's bottom-left) of a point given in model space.
    [[nodiscard]] Eigen::Vector2d toWindow(const Eigen::Vector3d& point) const;

    Eigen::Matrix4d modelView = Eigen::Matrix4d::Identity();
    Eigen::Matrix4d projection = Eigen::Matrix4d::Identity();
    Viewport viewport;
};

/// Orthographic projection onto a width x height pixel viewport: x to the right, y up, origin at the bottom-left
/// corner. Integer coordinates fall on pixel corners, so pixel (i, j) is the square [i, i+1] x [j, j+1]: a
/// 2-pixel line at an integer coordinate covers exactly two pixel rows, and a texture placed at integer
/// coordinates is sampled 1:1. z in [-1, 1] is kept (positive z towards the viewer).
[[nodiscard]] KELVAROS_API Eigen::Matrix4d createOrtho2d(int width, int height);

} // namespace Kelvaros::GL
