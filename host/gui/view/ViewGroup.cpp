#include "gui/view/ViewGroup.h"

#include <algorithm>

#include "gui/view/GlView.h"
#include "gui/view/InteractiveView.h"

namespace Kelvaros
{

void ViewGroup::addView(InteractiveView* view)
{
    if (view && std::find(m_views.begin(), m_views.end(), view) == m_views.end())
        m_views.push_back(view);
}

void ViewGroup::addObject(GlObject* object)
{
    for (InteractiveView* view : m_views)
        view->glView().addObject(object);
}

void ViewGroup::removeObject(GlObject* object)
{
    for (InteractiveView* view : m_views)
        view->glView().removeObject(object);
}

void ViewGroup::requestUpdate()
{
    for (InteractiveView* view : m_views)
        view->requestUpdate();
}

} // namespace Kelvaros
