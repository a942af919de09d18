#pragma once

#include "core/Export.h"
#include "lib/DataList.h"

namespace Kelvaros::GUI
{

/// Base of the views that show data: which data a view shows is its visible data (not owned; the data must
/// outlive their use in the view). Main thread only.
class KELVAROS_API View
{
public:
    virtual ~View();

    virtual void setVisibleData(const DataList& data);
    [[nodiscard]] const DataList& visibleData() const { return m_visibleData; }

private:
    DataList m_visibleData;
};

} // namespace Kelvaros::GUI
