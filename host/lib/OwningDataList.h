#pragma once

#include <memory>
#include <vector>

#include "core/Export.h"
#include "lib/DataList.h"

namespace Kelvaros
{

/// An ordered list that owns its data: what an algorithm hands over in takeOutput.
class KELVAROS_API OwningDataList
{
public:
    OwningDataList() = default;
    OwningDataList(OwningDataList&&) noexcept = default;
    OwningDataList& operator=(OwningDataList&&) noexcept = default;
    ~OwningDataList();

    /// Appends (null is ignored).
    void add(std::unique_ptr<Data> data);
    [[nodiscard]] size_t size() const { return m_data.size(); }
    [[nodiscard]] bool isEmpty() const { return m_data.empty(); }
    /// A non-owning view of the content.
    [[nodiscard]] DataList dataList() const;
    /// Hands over every entry, leaving the list empty.
    [[nodiscard]] std::vector<std::unique_ptr<Data>> release();

private:
    std::vector<std::unique_ptr<Data>> m_data;
};

} // namespace Kelvaros
