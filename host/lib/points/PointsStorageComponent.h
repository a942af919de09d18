#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "core/Export.h"
#include "core/Properties.h"
#include "lib/DataComponent.h"

namespace Kelvaros
{

class PointsOnData;

/// The named point sets of a data object, as a data component: each name maps to a shared point set and,
/// optionally, to a stored configuration (from a workspace file) that a set created later under that name starts
/// from.
///
/// Copies (the component is copied with its data) carry only configurations: the live sets belong to the
/// original data object, so a copy stores each live set's current configuration instead and creates new sets
/// from it on demand.
///
/// Thread-safe: every call takes the component's own mutex, and no set's code (configuration, listeners,
/// destructor) runs while it is held. A point set itself is not synchronised.
class KELVAROS_API PointsStorageComponent : public DataComponentBase<PointsStorageComponent>
{
public:
    PointsStorageComponent();
    PointsStorageComponent(const PointsStorageComponent& other);
    PointsStorageComponent& operator=(const PointsStorageComponent& other);
    ~PointsStorageComponent() override;

    [[nodiscard]] std::string id() const override { return "PointsStorage"; }

    /// The set stored under `name`, or null.
    [[nodiscard]] std::shared_ptr<PointsOnData> points(const std::string& name) const;
    /// Stores a set under `name`, replacing the previous one (null removes the set, keeping the configuration).
    void setPoints(const std::string& name, std::shared_ptr<PointsOnData> points);
    /// The configuration stored for `name`, if any.
    [[nodiscard]] std::optional<Properties> storedConfiguration(const std::string& name) const;
    void setStoredConfiguration(const std::string& name, const Properties& configuration);
    /// Removes the entry (set and configuration); false when there was none.
    bool remove(const std::string& name);
    /// Names of every entry, sorted.
    [[nodiscard]] std::vector<std::string> names() const;

    /// The set called `name` as a T: the stored one when it is a T; a new one from `create` when the entry has no
    /// set, configured from the entry's stored configuration and stored; null, with the error "Point set with
    /// name '<name>' already exists, but is not of type '<T>'" (category "PointsStorageComponent"), when the stored
    /// set is of another type. `create` and the configuration run outside the component's lock (so the new set's
    /// listeners never run under it); when another caller stores a set under the name meanwhile, that one is
    /// returned (under the same type rule) and the new one dropped. A failed creation leaves no entry behind.
    template<typename T>
    std::shared_ptr<T> getOrCreate(const std::string& name, const std::function<std::shared_ptr<T>()>& create)
    {
        return std::dynamic_pointer_cast<T>(getOrCreate(
          name, typeid(T), [](const PointsOnData& points) { return dynamic_cast<const T*>(&points) != nullptr; },
          [&create]() -> std::shared_ptr<PointsOnData> { return create(); }));
    }

    /// Writes one "pointSet" record per entry: its "name" and the configuration of the live set (or the stored
    /// one). Nothing for null.
    void configuration(Properties* properties) const;
    /// Reads "pointSet" records into stored configurations; a live set of that name is configured at once.
    /// Nothing for null.
    void configure(const Properties* properties);

    /// A readable name of a run-time type ("Kelvaros::PointsOnImage").
    [[nodiscard]] static std::string typeName(const std::type_info& type);

private:
    struct Entry
    {
        std::shared_ptr<PointsOnData> points;
        std::optional<Properties> configuration;
    };

    std::shared_ptr<PointsOnData> getOrCreate(const std::string& name, const std::type_info& type,
                                              const std::function<bool(const PointsOnData&)>& isType,
                                              const std::function<std::shared_ptr<PointsOnData>()>& create);
    [[nodiscard]] std::map<std::string, Entry> snapshot() const;

    mutable std::mutex m_mutex;
    std::map<std::string, Entry> m_entries;
};

} // namespace Kelvaros
