#include "gl/TextTextureCache.h"

#include <algorithm>
#include <mutex>
#include <set>

#include <QFont>
#include <QFontDatabase>
#include <QFontInfo>
#include <QFontMetrics>
#include <QImage>
#include <QOpenGLFunctions_3_3_Core>
#include <QPainter>

#include <fmt/format.h>

#include "core/Log.h"

namespace Kelvaros::GL
{
namespace
{
std::string keyOf(const std::string& text, const Font& font)
{
    return fmt::format("{}\x1f{}\x1f{}\x1f{}\x1f{}\x1f{}", font.family, font.size, font.bold != 0,
                       font.antialiased != 0, std::max(0, font.rim), text);
}

void warnOnceAboutFamily(const std::string& family, const QString& fallback)
{
    static std::mutex mutex;
    static std::set<std::string> warned;
    std::lock_guard<std::mutex> lock(mutex);
    if (warned.insert(family).second)
        Log::logf(Log::Warning, "TextRenderer", "font family \"{}\" is not available; using \"{}\"", family,
                  fallback.toStdString());
}
} // namespace

TextTextureCache::TextTextureCache(QOpenGLFunctions_3_3_Core& functions) : m_functions(functions) {}

TextTextureCache::~TextTextureCache()
{
    for (const auto& entry : m_entries)
        m_functions.glDeleteTextures(1, &entry.second.id);
}

void TextTextureCache::abandon()
{
    m_entries.clear();
    m_index.clear();
}

QFont TextTextureCache::toQFont(const Font& font)
{
    const QString family = QString::fromStdString(font.family);
    QFont result(family);
    if (!QFontDatabase().hasFamily(family))
    {
        result = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        warnOnceAboutFamily(font.family, QFontInfo(result).family());
    }
    result.setPixelSize(std::max(1, font.size));
    result.setBold(font.bold != 0);
    // Grey-scale antialiasing only: sub-pixel (LCD) rendering would leave coloured fringes on a coverage texture.
    result.setStyleStrategy(font.antialiased ? QFont::StyleStrategy(QFont::PreferAntialias | QFont::NoSubpixelAntialias)
                                             : QFont::NoAntialias);
    return result;
}

const TextTexture& TextTextureCache::get(const std::string& text, const Font& font)
{
    const std::string key = keyOf(text, font);
    const auto found = m_index.find(key);
    if (found != m_index.end())
    {
        m_entries.splice(m_entries.begin(), m_entries, found->second);
        return found->second->second;
    }
    if (m_entries.size() >= kCapacity)
    {
        m_functions.glDeleteTextures(1, &m_entries.back().second.id);
        m_index.erase(m_entries.back().first);
        m_entries.pop_back();
    }
    m_entries.emplace_front(key, create(text, font));
    m_index.emplace(key, m_entries.begin());
    return m_entries.front().second;
}

TextTexture TextTextureCache::create(const std::string& text, const Font& font)
{
    const QFont qfont = toQFont(font);
    const QString string = QString::fromStdString(text);
    const QFontMetrics metrics(qfont);
    TextTexture t;
    t.advance = metrics.horizontalAdvance(string);
    t.ascent = metrics.ascent();
    t.descent = metrics.descent();
    // The image spans the logical box (advance x ascent + descent) and the ink outside it (overhanging glyphs, the
    // rim), with a margin: QPainter renders a glyph that crosses the image border differently (as an outline instead of
    // its cached bitmap), so no glyph may touch the border.
    const int rim = std::clamp(font.rim, 0, kMaxRim);
    const int margin = 3 + rim;
    const QRect ink = metrics.boundingRect(string);
    const int left = std::min(0, ink.left()) - margin;
    const int right = std::max(t.advance, ink.right() + 1) + margin;
    const int top = std::min(-t.ascent, ink.top()) - margin;
    const int bottom = std::max(t.descent, ink.bottom() + 1) + margin;
    t.width = right - left;
    t.height = bottom - top;
    t.originX = -left;
    t.originY = -top;

    // The text's coverage in red, the rim's (the glyphs moved by up to `rim` pixels every way) in green.
    QImage image(t.width, t.height, QImage::Format_RGB32);
    image.fill(Qt::black);
    {
        QPainter painter(&image);
        painter.setFont(qfont);
        painter.setCompositionMode(QPainter::CompositionMode_Lighten);
        painter.setPen(QColor(0, 255, 0));
        for (int dx = -rim; dx <= rim; ++dx)
            for (int dy = -rim; dy <= rim; ++dy)
                if (dx || dy)
                    painter.drawText(t.originX + dx, t.originY + dy, string);
        painter.setPen(QColor(255, 0, 0));
        painter.drawText(t.originX, t.originY, string);
    }
    // RGB32 is stored as B, G, R, X bytes on a little-endian machine: one texel of four bytes, rows unpadded.
    m_functions.glGenTextures(1, &t.id);
    m_functions.glBindTexture(GL_TEXTURE_2D, t.id);
    m_functions.glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    m_functions.glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, t.width, t.height, 0, GL_BGRA, GL_UNSIGNED_BYTE,
                             image.constBits());
    m_functions.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    m_functions.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    m_functions.glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    return t;
}

} // namespace Kelvaros::GL
