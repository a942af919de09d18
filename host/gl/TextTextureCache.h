#pragma once

#include <list>
#include <string>
#include <unordered_map>

#include "gl/Font.h"

class QFont;
class QOpenGLFunctions_3_3_Core;

namespace Kelvaros::GL
{

/// A string rasterised by QPainter into a coverage texture (the text in red, its rim in green), with the metrics to
/// place it.
/// Image coordinates: pixels from the top-left; the pen origin (start of the baseline) is at (originX, originY).
struct TextTexture
{
    unsigned id = 0;
    int width = 0;
    int height = 0;
    int originX = 0;
    int originY = 0;
    int advance = 0; ///< the pen's advance over the whole string
    int ascent = 0;
    int descent = 0;
};

/// The text textures of one context, least recently used dropped first. Internal to KelvarosGL; used with its
/// context current.
class TextTextureCache
{
public:
    static constexpr size_t kCapacity = 256;
    /// Wider rims are drawn this wide.
    static constexpr int kMaxRim = 4;

    explicit TextTextureCache(QOpenGLFunctions_3_3_Core& functions);
    ~TextTextureCache();
    TextTextureCache(const TextTextureCache&) = delete;
    TextTextureCache& operator=(const TextTextureCache&) = delete;

    /// The texture of `text` in `font` (its colour aside), rasterised and uploaded on a miss.
    const TextTexture& get(const std::string& text, const Font& font);
    /// Forgets the textures without deleting them (their context is going away while not current).
    void abandon();

    /// The QFont that draws `font`; a missing family falls back to the default font with one Warning per family.
    static QFont toQFont(const Font& font);

private:
    using Entry = std::pair<std::string, TextTexture>;

    TextTexture create(const std::string& text, const Font& font);

    QOpenGLFunctions_3_3_Core& m_functions;
    std::list<Entry> m_entries; // most recently used first
    std::unordered_map<std::string, std::list<Entry>::iterator> m_index;
};

} // namespace Kelvaros::GL
