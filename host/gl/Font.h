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
    /// A rim of this many pixels around the glyphs (0: none), in rimColor under the text: it keeps a label legible
    /// on bright and dark images alike, and is drawn with the text in one pass.
    int rim = 0;
    Eigen::Vector4d rimColor = Eigen::Vector4d(0, 0, 0, 1);
};

} // namespace Kelvaros::GL
