#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "core/Export.h"
#include "lib/Data.h"

namespace Kelvaros
{

class SharedImageSet;
class TrackingSequence;

/// An ordered, non-owning list of data (the user's selection, an algorithm's input). Null entries are dropped
/// on the way in, so every entry may be dereferenced. Not thread-safe; the data must outlive the list's use.
class KELVAROS_API DataList
{
public:
    DataList() = default;
    DataList(std::initializer_list<Data*> data);
    explicit DataList(std::vector<Data*> data);

    [[nodiscard]] size_t size() const { return m_data.size(); }
    [[nodiscard]] bool isEmpty() const { return m_data.empty(); }
    [[nodiscard]] Data* operator[](size_t index) const { return m_data[index]; }
    [[nodiscard]] const std::vector<Data*>& items() const& { return m_data; }
    /// By value from a temporary list (`for (Data* d : app.dataList().items())`), which would otherwise leave the
    /// loop iterating a destroyed vector.
    [[nodiscard]] std::vector<Data*> items() && { return std::move(m_data); }
    void add(Data* data);

    /// The first data of a kind (any kind for Kind::Unknown), or null.
    [[nodiscard]] Data* getFirst(Data::Kind kind = Data::Kind::Unknown) const;
    /// The first image set of a kind and modality (NA matches any modality), or null.
    [[nodiscard]] SharedImageSet* getImage(Data::Kind kind = Data::Kind::Unknown,
                                           Data::Modality modality = Data::Modality::NA) const;
    [[nodiscard]] std::vector<SharedImageSet*> getImages(Data::Kind kind = Data::Kind::Unknown,
                                                         Data::Modality modality = Data::Modality::NA) const;
    /// Every entry whose run-time type is T or derives from it, in order.
    template<typename T>
    [[nodiscard]] std::vector<T*> getAll() const
    {
        std::vector<T*> result;
        for (Data* d : m_data)
            if (auto* t = dynamic_cast<T*>(d))
                result.push_back(t);
        return result;
    }
    /// Every tracking sequence in order (instantiated where TrackingSequence is complete).
    template<typename Sequence = TrackingSequence>
    [[nodiscard]] std::vector<Sequence*> getTrackingSequences() const
    {
        return getAll<Sequence>();
    }

private:
    std::vector<Data*> m_data;
};

} // namespace Kelvaros
