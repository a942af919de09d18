#include "GifWriter.h"

#include <algorithm>
#include <cstring>
#include <gif_lib.h>

namespace Kelvaros::Tools
{

namespace
{

int writeToFile(GifFileType* gif, const GifByteType* bytes, int length)
{
    return int(static_cast<QSaveFile*>(gif->UserData)->write(reinterpret_cast<const char*>(bytes), length));
}

} // namespace

GifWriter::GifWriter(const QString& path, QSize size, const Palette& palette)
  : m_file(path), m_size(size), m_palette(palette)
{
    if (!m_file.open(QIODevice::WriteOnly))
    {
        m_error = path + ": " + m_file.errorString();
        return;
    }
    int error = 0;
    m_gif = EGifOpen(&m_file, writeToFile, &error);
    if (!m_gif)
        fail("cannot start the GIF encoder", error);
    else
        writeHeader();
}

GifWriter::~GifWriter()
{
    if (m_gif)
        EGifCloseFile(m_gif, nullptr);
}

bool GifWriter::fail(const QString& what, int gifError)
{
    if (m_error.isEmpty())
        m_error = m_file.fileName() + ": " + what + " (" + GifErrorString(gifError) + ")";
    return false;
}

bool GifWriter::writeHeader()
{
    std::vector<GifColorType> colors(256, GifColorType{ 0, 0, 0 });
    const auto& palette = m_palette.colors();
    for (std::size_t i = 0; i < palette.size(); ++i)
        colors[i] = GifColorType{ GifByteType(qRed(palette[i])), GifByteType(qGreen(palette[i])),
                                  GifByteType(qBlue(palette[i])) };
    ColorMapObject* map = GifMakeMapObject(256, colors.data());
    EGifSetGifVersion(m_gif, true);
    const bool written = EGifPutScreenDesc(m_gif, m_size.width(), m_size.height(), 8, 0, map) == GIF_OK;
    GifFreeMapObject(map);
    if (!written)
        return fail("cannot write the screen descriptor", m_gif->Error);
    // Application extension "NETSCAPE2.0", sub-block 1 with loop count 0: repeat forever.
    static const GifByteType kApplication[] = "NETSCAPE2.0";
    static const GifByteType kLoopForever[] = { 1, 0, 0 };
    if (EGifPutExtensionLeader(m_gif, APPLICATION_EXT_FUNC_CODE) != GIF_OK ||
        EGifPutExtensionBlock(m_gif, 11, kApplication) != GIF_OK ||
        EGifPutExtensionBlock(m_gif, 3, kLoopForever) != GIF_OK || EGifPutExtensionTrailer(m_gif) != GIF_OK)
        return fail("cannot write the loop extension", m_gif->Error);
    return true;
}

bool GifWriter::addFrame(const QImage& frame, int delayCentiseconds)
{
    if (!m_gif || !m_error.isEmpty())
        return false;
    if (frame.size() != m_size)
    {
        m_error = m_file.fileName() + ": frame of a different size";
        return false;
    }
    m_palette.quantise(frame, m_current);
    const int width = m_size.width(), height = m_size.height();
    bool ok = false;
    if (m_first)
        ok = writeFrame(0, 0, width, height, delayCentiseconds, false);
    else
    {
        int left = width, right = -1, top = height, bottom = -1;
        for (int y = 0; y < height; ++y)
        {
            const std::uint8_t* now = m_current.data() + std::size_t(y) * width;
            const std::uint8_t* before = m_previous.data() + std::size_t(y) * width;
            if (std::memcmp(now, before, std::size_t(width)) == 0)
                continue;
            int x0 = 0, x1 = width - 1;
            while (now[x0] == before[x0])
                ++x0;
            while (now[x1] == before[x1])
                --x1;
            left = std::min(left, x0);
            right = std::max(right, x1);
            top = std::min(top, y);
            bottom = y;
        }
        // A frame equal to the one before is still a frame of its own (it holds the picture for its delay): one
        // transparent pixel.
        if (bottom < 0)
            left = right = top = bottom = 0;
        ok = writeFrame(left, top, right - left + 1, bottom - top + 1, delayCentiseconds, true);
    }
    std::swap(m_previous, m_current);
    m_first = false;
    return ok;
}

bool GifWriter::writeFrame(int left, int top, int width, int height, int delayCentiseconds, bool keepUnchanged)
{
    // Disposal "do not dispose": every frame is drawn over the picture the frames before it left.
    GraphicsControlBlock control{ DISPOSE_DO_NOT, false, delayCentiseconds, keepUnchanged ? kTransparent : -1 };
    GifByteType extension[4];
    EGifGCBToExtension(&control, extension);
    if (EGifPutExtension(m_gif, GRAPHICS_EXT_FUNC_CODE, 4, extension) != GIF_OK ||
        EGifPutImageDesc(m_gif, left, top, width, height, false, nullptr) != GIF_OK)
        return fail("cannot write a frame header", m_gif->Error);
    m_row.resize(std::size_t(width));
    for (int y = top; y < top + height; ++y)
    {
        const std::size_t offset = std::size_t(y) * m_size.width() + left;
        for (int x = 0; x < width; ++x)
        {
            const std::uint8_t index = m_current[offset + x];
            m_row[x] = keepUnchanged && index == m_previous[offset + x] ? kTransparent : index;
        }
        if (EGifPutLine(m_gif, m_row.data(), width) != GIF_OK)
            return fail("cannot write frame pixels", m_gif->Error);
    }
    return true;
}

bool GifWriter::finish()
{
    if (!m_gif)
        return false;
    int error = 0;
    const bool closed = EGifCloseFile(m_gif, &error) == GIF_OK;
    m_gif = nullptr;
    if (!closed)
        return fail("cannot finish the file", error);
    if (!m_error.isEmpty())
        return false;
    if (!m_file.commit())
    {
        m_error = m_file.fileName() + ": " + m_file.errorString();
        return false;
    }
    return true;
}

} // namespace Kelvaros::Tools
