#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include <QImage>
#include <QRgb>

namespace Kelvaros::Tools
{

/// A fixed palette of at most 255 colours for the animations (index 255 stays free for transparency), and the
/// mapping of drawn frames onto it. The palette holds the illustration's key colours and, for each of them, blends
/// towards the outline and the background colour: anti-aliased edges of outlined shapes fall on those blends, so a
/// quantised frame keeps smooth edges without dithering.
class Palette
{
public:
    /// `keys[0]` is the background, `keys[1]` the outline colour. At most 36 keys (7 entries each).
    explicit Palette(const std::vector<QRgb>& keys);

    [[nodiscard]] const std::vector<QRgb>& colors() const { return m_colors; }
    /// Palette indices of an opaque ARGB32/RGB32 frame, row by row.
    void quantise(const QImage& frame, std::vector<std::uint8_t>& indices) const;

private:
    static constexpr int kBits = 6;
    static constexpr int kLevels = 1 << kBits;

    [[nodiscard]] std::uint8_t nearest(int r, int g, int b) const;

    std::vector<QRgb> m_colors;
    // Index of the nearest palette colour for each colour cell of 2^18 (6 bits per channel): one table look-up per
    // pixel keeps the quantisation of a 1024 x 1024 frame at a few milliseconds.
    std::vector<std::uint8_t> m_lookup;
};

} // namespace Kelvaros::Tools
