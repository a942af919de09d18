#include "Palette.h"

#include <limits>
#include <stdexcept>

namespace Kelvaros::Tools
{

namespace
{

QRgb blend(QRgb a, QRgb b, double t)
{
    const auto mix = [t](int x, int y) { return int(x + (y - x) * t + 0.5); };
    return qRgb(mix(qRed(a), qRed(b)), mix(qGreen(a), qGreen(b)), mix(qBlue(a), qBlue(b)));
}

} // namespace

Palette::Palette(const std::vector<QRgb>& keys)
{
    if (keys.size() < 2 || keys.size() * 7 > 255)
        throw std::invalid_argument("a palette needs 2 to 36 key colours");
    for (QRgb key : keys)
        m_colors.push_back(key);
    for (QRgb key : keys)
        for (double t : { 0.25, 0.5, 0.75 })
        {
            m_colors.push_back(blend(key, keys[1], t));
            m_colors.push_back(blend(key, keys[0], t));
        }
    m_lookup.resize(std::size_t(kLevels) * kLevels * kLevels);
    const int step = 256 / kLevels;
    std::size_t cell = 0;
    for (int r = 0; r < kLevels; ++r)
        for (int g = 0; g < kLevels; ++g)
            for (int b = 0; b < kLevels; ++b)
                m_lookup[cell++] = nearest(r * step + step / 2, g * step + step / 2, b * step + step / 2);
}

std::uint8_t Palette::nearest(int r, int g, int b) const
{
    // Weighted RGB distance: green counts most, as the eye is most sensitive to it.
    std::size_t best = 0;
    int bestDistance = std::numeric_limits<int>::max();
    for (std::size_t i = 0; i < m_colors.size(); ++i)
    {
        const int dr = r - qRed(m_colors[i]), dg = g - qGreen(m_colors[i]), db = b - qBlue(m_colors[i]);
        const int distance = 2 * dr * dr + 4 * dg * dg + 3 * db * db;
        if (distance < bestDistance)
        {
            bestDistance = distance;
            best = i;
        }
    }
    return std::uint8_t(best);
}

void Palette::quantise(const QImage& frame, std::vector<std::uint8_t>& indices) const
{
    const int shift = 8 - kBits;
    const int width = frame.width(), height = frame.height();
    indices.resize(std::size_t(width) * height);
    std::size_t i = 0;
    // Drawings are mostly runs of one colour: look up only where the colour changes.
    QRgb last = 0;
    std::uint8_t lastIndex = nearest(0, 0, 0);
    for (int y = 0; y < height; ++y)
    {
        const auto* row = reinterpret_cast<const QRgb*>(frame.constScanLine(y));
        for (int x = 0; x < width; ++x)
        {
            const QRgb c = row[x] & RGB_MASK;
            if (c != last)
            {
                last = c;
                lastIndex = m_lookup[(std::size_t(qRed(c) >> shift) << (2 * kBits)) |
                                     (std::size_t(qGreen(c) >> shift) << kBits) | std::size_t(qBlue(c) >> shift)];
            }
            indices[i++] = lastIndex;
        }
    }
}

} // namespace Kelvaros::Tools
