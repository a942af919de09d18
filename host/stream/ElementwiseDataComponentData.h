#pragma once

#include "core/Export.h"
#include "stream/ElementwiseDataComponentList.h"

namespace Kelvaros
{

/// Mix-in of data sets whose elements carry data components of their own (the samples of a tracking sequence).
/// The derived data set keeps the list's size equal to its element count.
class KELVAROS_API ElementwiseDataComponentData
{
public:
    ElementwiseDataComponentData() = default;
    ElementwiseDataComponentData(const ElementwiseDataComponentData&) = default;
    ElementwiseDataComponentData& operator=(const ElementwiseDataComponentData&) = default;
    virtual ~ElementwiseDataComponentData();

    /// The per-element components: elementwiseComponents().element(i) belongs to element i.
    [[nodiscard]] ElementwiseDataComponentList& elementwiseComponents() { return m_elementwiseComponents; }
    [[nodiscard]] const ElementwiseDataComponentList& elementwiseComponents() const { return m_elementwiseComponents; }

private:
    ElementwiseDataComponentList m_elementwiseComponents;
};

} // namespace Kelvaros
