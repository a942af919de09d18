#pragma once

#include <functional>
#include <memory>
#include <vector>

#include "core/Export.h"
#include "gui/scene/GlObject.h"
#include "gui/scene/Manipulator.h"

namespace Kelvaros
{

/// A scene object with what lets the user edit it: owns the drawn object and, optionally, a manipulator.
/// Removal callbacks run when it is destroyed, before its object is, so holders can drop their references.
/// Main thread only.
class KELVAROS_API InteractiveObject
{
public:
    explicit InteractiveObject(std::unique_ptr<GlObject> object, std::unique_ptr<Manipulator> manipulator = nullptr);
    ~InteractiveObject();
    InteractiveObject(const InteractiveObject&) = delete;
    InteractiveObject& operator=(const InteractiveObject&) = delete;

    [[nodiscard]] GlObject* graphicsObject() const { return m_object.get(); }
    /// Null when the object is not editable.
    [[nodiscard]] Manipulator* manipulator() const { return m_manipulator.get(); }
    void addRemovalCallback(std::function<void()> callback);
    /// Shows or hides the drawn object.
    void setVisible(bool visible);
    [[nodiscard]] bool visible() const;

private:
    std::vector<std::function<void()>> m_removalCallbacks;
    std::unique_ptr<GlObject> m_object;
    std::unique_ptr<Manipulator> m_manipulator;
};

} // namespace Kelvaros
