#include "gui/scene/GlOverlay.h"

namespace Kelvaros
{

GlOverlay::GlOverlay(int sizeHintWidth, int sizeHintHeight, int minimalWidth, int minimalHeight)
  : m_sizeHintWidth(sizeHintWidth),
    m_sizeHintHeight(sizeHintHeight),
    m_minimalWidth(minimalWidth),
    m_minimalHeight(minimalHeight)
{
}

GlOverlay::~GlOverlay() = default;

void GlOverlay::setSizeHint(int width, int height)
{
    m_sizeHintWidth = width;
    m_sizeHintHeight = height;
}

void GlOverlay::setMinimalSizeHint(int width, int height)
{
    m_minimalWidth = width;
    m_minimalHeight = height;
}

void GlOverlay::update() {}

} // namespace Kelvaros
