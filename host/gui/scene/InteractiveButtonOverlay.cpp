#include "gui/scene/InteractiveButtonOverlay.h"

#include "core/Log.h"
#include "gui/scene/ButtonOverlay.h"

namespace Kelvaros
{

InteractiveButtonOverlay::InteractiveButtonOverlay(int anchor, QObject* parent)
  : InteractiveOverlay(std::make_unique<ButtonOverlay>(), anchor, parent)
{
}

InteractiveButtonOverlay::~InteractiveButtonOverlay() = default;

void InteractiveButtonOverlay::setIcon(const QImage& icon)
{
    static_cast<ButtonOverlay*>(overlay())->setIcon(icon);
}

void InteractiveButtonOverlay::setIcon(const QString& path)
{
    const QImage icon(path);
    if (icon.isNull())
        Log::logf(Log::Warning, "InteractiveButtonOverlay", "cannot read the icon {}", path.toStdString());
    setIcon(icon);
}

bool InteractiveButtonOverlay::mousePress(int x, int y)
{
    const QRect& r = lastRect();
    const double radius = 0.5 * std::min(r.width(), r.height());
    const double dx = x - (r.x() + 0.5 * r.width());
    const double dy = y - (r.y() + 0.5 * r.height());
    if (!visible() || dx * dx + dy * dy > radius * radius)
        return false;
    emit clicked();
    return true;
}

} // namespace Kelvaros
