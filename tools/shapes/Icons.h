#pragma once

#include <QImage>

namespace Kelvaros::Tools::Icons
{

/// Square icons with a transparent background, drawn in a few flat colours with a dark rim so that they read on
/// light and dark surfaces alike.
enum class Icon
{
    Recenter,   ///< light crosshair in corner brackets, for the round dark button over a 3D view
    ArrowLeft,  ///< "back"
    ArrowRight, ///< "next"
    Play,       ///< start recording
    Stop,       ///< stop recording
};

[[nodiscard]] QImage draw(Icon icon, int size);

} // namespace Kelvaros::Tools::Icons
