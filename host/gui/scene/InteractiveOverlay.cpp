#include "gui/scene/InteractiveOverlay.h"

#include <algorithm>

#include "core/Log.h"
#include "gui/scene/GlOverlay.h"

namespace Kelvaros
{
namespace
{
constexpr int kAnchorCount = 9;

// Where along an axis an anchor puts the overlay: 0 at the low end (left, bottom), 1 centred, 2 at the high end.
int horizontalPlace(int anchor)
{
    constexpr int places[kAnchorCount] = { 0, 1, 2, 2, 2, 1, 0, 0, 1 };
    return places[anchor];
}

int verticalPlace(int anchor)
{
    constexpr int places[kAnchorCount] = { 2, 2, 2, 1, 0, 0, 0, 1, 1 };
    return places[anchor];
}

int placed(int place, int size, int viewSize)
{
    switch (place)
    {
        case 0:
            return InteractiveOverlay::kMargin;
        // An overlay wider than its view keeps its beginning in view: a read-out's first words say what it is.
        case 1:
            return std::max(0, (viewSize - size) / 2);
        default:
            return std::max(0, viewSize - size - InteractiveOverlay::kMargin);
    }
}
} // namespace

InteractiveOverlay::InteractiveOverlay(std::unique_ptr<GlOverlay> overlay, int anchor, QObject* parent)
  : QObject(parent), m_overlay(std::move(overlay)), m_anchor(0)
{
    setAnchor(anchor);
}

InteractiveOverlay::~InteractiveOverlay() = default;

void InteractiveOverlay::setAnchor(int anchor)
{
    if (anchor < 0 || anchor >= kAnchorCount)
    {
        Log::logf(Log::Error, "InteractiveOverlay", "unknown anchor code {}", anchor);
        return;
    }
    m_anchor = anchor;
}

void InteractiveOverlay::setVisible(bool visible)
{
    if (m_overlay)
        m_overlay->setVisible(visible);
}

bool InteractiveOverlay::visible() const
{
    return m_overlay && m_overlay->visible();
}

QRect InteractiveOverlay::rect(int viewWidth, int viewHeight) const
{
    if (!m_overlay)
        return {};
    const int width = std::max(m_overlay->minimalSizeHintWidth(), std::min(m_overlay->sizeHintWidth(), viewWidth));
    const int height = std::max(m_overlay->minimalSizeHintHeight(), std::min(m_overlay->sizeHintHeight(), viewHeight));
    m_lastRect = QRect(placed(horizontalPlace(m_anchor), width, viewWidth),
                       placed(verticalPlace(m_anchor), height, viewHeight), width, height);
    return m_lastRect;
}

bool InteractiveOverlay::mousePress(int, int)
{
    return false;
}

} // namespace Kelvaros
