#pragma once

#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

class GlObject;
class InteractiveView;

/// Views that show the same scene objects: adding or removing an object acts on every view's GlView. The views
/// are not owned and must outlive the group. Main thread only.
class KELVAROS_API ViewGroup
{
public:
    void addView(InteractiveView* view);
    [[nodiscard]] const std::vector<InteractiveView*>& views() const { return m_views; }

    void addObject(GlObject* object);
    void removeObject(GlObject* object);
    void requestUpdate();

private:
    std::vector<InteractiveView*> m_views;
};

} // namespace Kelvaros
