#pragma once

#include <string>

#include <Eigen/Core>

namespace Kelvaros::GL
{

/// How TextRenderer draws a string.
struct Font
{
    /// Font family; when it is not installed the renderer falls back to the default family with a Warning.
    std::string family = "DejaVu Sans";
    /// Height of the font in pixels (the font's pixel size, independent of the screen's DPI).
    int size = 12;
    /// 0 regular weight, any other value bold.
    int bold = 0;
    /// 1 (or any non-zero value): antialiased grey-scale edges; 0: monochrome glyphs.
    int antialiased = 1;
    /// RGBA in [0, 1].
    Eigen::Vector4d color = Eigen::Vector4d::Ones();
};

} // namespace Kelvaros::GL
