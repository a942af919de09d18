#pragma once

#include <vector>

#include <QImage>
#include <QRgb>
#include <QString>

namespace Kelvaros::Tools
{

/// The instruction animations of the tool calibration: a pointer standing with its tip in the divot of a
/// calibration dip, doing the motion the user is asked for.
class CalibrationAnimations
{
public:
    enum class Motion
    {
        Pivoting, ///< tip fixed in the divot, the shaft sweeping a cone
        Flip,     ///< lifted from the divot, turned by half a revolution about its axis, set down; twice per loop
        Rotation, ///< tip in the divot, turning about its own axis
        Dip,      ///< lowered along its axis until the tip sits in the divot
    };

    struct Animation
    {
        QString fileName;
        Motion motion;
        int frames;
        int delayCentiseconds;
    };

    static constexpr int kSize = 1024;

    /// The four animations with their frame counts and frame delays.
    [[nodiscard]] static std::vector<Animation> all();
    /// Key colours of the drawings (background first, outline second), the basis of the fixed palette.
    [[nodiscard]] static std::vector<QRgb> keyColors();
    /// Frame `frame` of `frames` (a loop: frame `frames` would equal frame 0 for the periodic motions).
    [[nodiscard]] static QImage frame(Motion motion, int frame, int frames);
};

} // namespace Kelvaros::Tools
