#pragma once

#include <string>

#include <Eigen/Core>

#include "core/Export.h"
#include "gl/Font.h"
#include "gl/ViewState.h"

namespace Kelvaros::GL
{

/// Draws text into the current OpenGL context. Strings are rasterised by QPainter once and kept as textures
/// (per context, the least recently used dropped first); they are drawn unscaled with nearest sampling at whole
/// pixel positions, so text looks exactly as QPainter renders it.
///
/// Needs a QGuiApplication (fonts) and a current 3.3 core context on the calling thread. Draws into the view
/// state's viewport; blending, depth test, viewport and the bound program are changed only for the duration of a
/// call.
class KELVAROS_API TextRenderer
{
public:
    enum HorizontalAlignment : int
    {
        Left = 0,   ///< the text starts at the anchor
        Centre = 1, ///< the anchor is in the middle of the text's advance width
        Right = 2   ///< the text ends at the anchor
    };

    enum VerticalAlignment : int
    {
        Top = 0,      ///< the font's ascent line is at the anchor: the text hangs below it
        Middle = 1,   ///< the anchor is halfway between the ascent and descent lines
        Baseline = 2, ///< the baseline is at the anchor
        Bottom = 3    ///< the font's descent line is at the anchor: the whole text sits above it
    };

    /// Draws `text` (UTF-8) anchored at `position`, a point in the view state's coordinates (model-view and
    /// projection applied; with createOrtho2d these are pixels from the bottom-left). The anchor is rounded to
    /// the nearest pixel corner. Returns false (Error in the log) for an unknown alignment or without a context.
    static bool render(const ViewState& viewState, const std::string& text, const Eigen::Vector2d& position,
                       const Font& font, int horizontalAlignment, int verticalAlignment);
    /// The same in the pixel coordinates of the viewport (createOrtho2d).
    static bool render(const Viewport& viewport, const std::string& text, const Eigen::Vector2d& position,
                       const Font& font, int horizontalAlignment, int verticalAlignment);
    /// The pen's advance over `text` in `font`, in pixels: what the alignments measure. Needs a QGuiApplication,
    /// no context.
    [[nodiscard]] static int advance(const std::string& text, const Font& font);
};

} // namespace Kelvaros::GL
