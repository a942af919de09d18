#pragma once

#include <memory>
#include <vector>

#include "core/Export.h"
#include "lib/DataComponentList.h"

namespace Kelvaros
{

/// One DataComponentList per element of a data set (per sample of a tracking sequence). Lists are created on
/// first write, so elements without components cost one null pointer. Indices run from 0 to size() - 1.
/// Not synchronised: used by the thread that owns the data set.
class KELVAROS_API ElementwiseDataComponentList
{
public:
    ElementwiseDataComponentList() = default;
    /// Deep copy.
    ElementwiseDataComponentList(const ElementwiseDataComponentList& other);
    ElementwiseDataComponentList& operator=(const ElementwiseDataComponentList& other);
    ElementwiseDataComponentList(ElementwiseDataComponentList&&) noexcept = default;
    ElementwiseDataComponentList& operator=(ElementwiseDataComponentList&&) noexcept = default;
    ~ElementwiseDataComponentList();

    [[nodiscard]] int size() const { return int(m_elements.size()); }

    /// The components of element `index`, created empty when absent. Throws std::out_of_range for an index
    /// outside 0..size()-1 (a programming error).
    [[nodiscard]] DataComponentList& element(int index);
    /// The components of element `index` (0 <= index < size()); a shared empty list when it has none.
    [[nodiscard]] const DataComponentList& element(int index) const;
    /// True when element `index` has at least one component.
    [[nodiscard]] bool hasComponents(int index) const;

    /// Grows with empty elements or drops elements at the end.
    void resize(int size);
    /// Inserts an empty element before `index` (index == size() appends); nothing for an index outside 0..size().
    void insert(int index);
    /// Removes element `index`; the following ones move up by one; nothing for an invalid index.
    void remove(int index);
    void clear() { m_elements.clear(); }

private:
    std::vector<std::unique_ptr<DataComponentList>> m_elements;
};

} // namespace Kelvaros
