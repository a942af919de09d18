#include "gui/scene/InteractiveObject.h"

namespace Kelvaros
{

InteractiveObject::InteractiveObject(std::unique_ptr<GlObject> object, std::unique_ptr<Manipulator> manipulator)
  : m_object(std::move(object)), m_manipulator(std::move(manipulator))
{
    if (m_manipulator)
        m_manipulator->setTarget(m_object.get());
}

InteractiveObject::~InteractiveObject()
{
    // A callback may look at the object still; the members die after this body.
    for (const std::function<void()>& callback : m_removalCallbacks)
        callback();
}

void InteractiveObject::addRemovalCallback(std::function<void()> callback)
{
    m_removalCallbacks.push_back(std::move(callback));
}

void InteractiveObject::setVisible(bool visible)
{
    if (m_object)
        m_object->setVisible(visible);
}

bool InteractiveObject::visible() const
{
    return m_object && m_object->visible();
}

} // namespace Kelvaros
