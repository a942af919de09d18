#pragma once

namespace Kelvaros::GL
{

/// A rectangle of the framebuffer in pixels, as glViewport takes it: (x, y) is the bottom-left corner.
struct Viewport
{
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

} // namespace Kelvaros::GL
