#pragma once

#include "gl/ViewState.h"
#include "lib/view/Slice.h"

namespace Kelvaros
{

/// What a view tells the objects it draws, once per frame.
struct RenderInfo
{
    /// modelView maps world → eye (the inverse of the camera's pose), projection eye → clip; the viewport is the
    /// view's part of the framebuffer. An object composes its own matrix onto modelView.
    GL::ViewState viewState;
    /// A slice view shows only what lies in its plane: meshes as their contour (or flattened, by render mode),
    /// point-like objects when within half of sliceThickness of the plane.
    bool sliceView = false;
    /// The plane of a slice view (world, mm); ignored in 3D views.
    Slice slice;
    double sliceThickness = 1.0;
    /// Millimetres covered by one pixel at the focus (the slice plane, or the 3D camera's look-at point), so
    /// that sizes given in pixels (point size, line width) can be turned into world lengths.
    double mmPerPixel = 1.0;
};

} // namespace Kelvaros
