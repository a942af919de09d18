#pragma once

#include <memory>
#include <mutex>
#include <typeinfo>
#include <vector>

#include "core/Export.h"
#include "lib/DataComponent.h"

namespace Kelvaros
{

/// The components of one Data object or sample, at most one per run-time type. Thread-safe: a stream thread
/// may look a component up while the user-interface thread adds one. A component, once added, stays at the
/// same address until it is removed or the list is destroyed.
class KELVAROS_API DataComponentList
{
public:
    DataComponentList() = default;
    /// Deep copy (every component cloned).
    DataComponentList(const DataComponentList& other);
    /// Makes the content equal to `other`: components of a type present in both keep their address and take
    /// the other's content, the others are cloned or removed.
    DataComponentList& operator=(const DataComponentList& other);
    ~DataComponentList();

    /// The component whose run-time type is exactly T, or null.
    template<typename T>
    [[nodiscard]] T* get() const
    {
        return static_cast<T*>(find(typeid(T)));
    }

    /// The component of type T, adding a default-constructed one when there is none.
    template<typename T>
    T& getOrAdd()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (DataComponent* existing = findLocked(typeid(T)))
            return static_cast<T&>(*existing);
        return static_cast<T&>(*addLocked(std::make_unique<T>()));
    }

    /// Adds a component and returns the stored one. When a component of the same run-time type is already
    /// there, that one keeps its address and takes over the content of `component` (through assign), so that a
    /// pointer another thread got from get() stays valid; `component` itself is then discarded. Null is ignored
    /// (returns null).
    DataComponent* add(std::unique_ptr<DataComponent> component);
    /// Removes the component of exactly that type and hands it back (null when absent).
    std::unique_ptr<DataComponent> remove(const std::type_info& type);
    /// Every component, in the order they were added.
    [[nodiscard]] std::vector<DataComponent*> all() const;
    [[nodiscard]] size_t size() const;

private:
    DataComponent* find(const std::type_info& type) const;
    DataComponent* findLocked(const std::type_info& type) const;
    DataComponent* addLocked(std::unique_ptr<DataComponent> component);

    // No call made under it leads back into the list: components are cloned and assigned, never asked to call out.
    mutable std::mutex m_mutex;
    std::vector<std::unique_ptr<DataComponent>> m_components;
};

} // namespace Kelvaros
