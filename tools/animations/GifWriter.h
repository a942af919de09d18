#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <QSaveFile>
#include <QSize>
#include <QString>

#include "Palette.h"

struct GifFileType;

namespace Kelvaros::Tools
{

/// Writes a GIF89a animation that loops forever (NETSCAPE2.0 extension, count 0), with one global palette.
/// The first frame is stored whole; every later frame only as the rectangle that changed, with unchanged pixels
/// inside it transparent, which keeps files and encoding time small. The file appears atomically at finish().
class GifWriter
{
public:
    GifWriter(const QString& path, QSize size, const Palette& palette);
    ~GifWriter();

    /// Adds a frame (opaque, of the animation's size) shown for `delayCentiseconds`. False on a write error.
    [[nodiscard]] bool addFrame(const QImage& frame, int delayCentiseconds);
    /// Writes the trailer and commits the file. False on any earlier or present error.
    [[nodiscard]] bool finish();
    [[nodiscard]] QString errorString() const { return m_error; }

private:
    static constexpr std::uint8_t kTransparent = 255;

    bool fail(const QString& what, int gifError);
    bool writeHeader();
    bool writeFrame(int left, int top, int width, int height, int delayCentiseconds, bool keepUnchanged);

    QSaveFile m_file;
    QSize m_size;
    const Palette& m_palette;
    GifFileType* m_gif = nullptr;
    std::vector<std::uint8_t> m_previous;
    std::vector<std::uint8_t> m_current;
    std::vector<std::uint8_t> m_row;
    bool m_first = true;
    QString m_error;
};

} // namespace Kelvaros::Tools
