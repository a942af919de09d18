#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <typeindex>
#include <vector>

#include "core/Export.h"
#include "core/Properties.h"
#include "lib/Algorithm.h"
#include "lib/DataList.h"

namespace Kelvaros
{

/// Registers algorithms under identifiers and menu categories, tests which fit a data selection and creates them.
/// A plug-in derives from it and registers its algorithms in its constructor. Factories added to the front of one
/// (addAlgorithmFactoryToFront) are consulted before its own registrations. Main thread only: registration,
/// look-up and creation are not synchronised.
class KELVAROS_API AlgorithmFactory
{
public:
    /// The creation rule of an algorithm class (its static createCompatible): false when the data do not fit;
    /// with a null out-pointer it only tests, otherwise it constructs the algorithm into it. May throw.
    using CreationRule = std::function<bool(const DataList&, std::unique_ptr<Algorithm>*)>;

    struct Descriptor
    {
        /// Full identifier: factory name, ".", short name.
        std::string id;
        /// Menu path, levels separated by ";" ("Streaming;Combine Trackings").
        std::string category;
        int flags = 0;
        /// Configuration applied after creation, when set.
        std::shared_ptr<const Properties> preset;
        /// Creates the algorithm on a selection (null when the data do not fit or creation fails). The creation
        /// rule runs on a copy of the list; an exception is logged ("Cannot create algorithm <id>: <what>",
        /// Error, empty category) and gives null. A created algorithm carries its FactoryInfo (id, display name,
        /// data) and has the preset, if any, applied through configure.
        std::function<std::unique_ptr<Algorithm>(const DataList&)> create;
        /// The creation rule in test mode (no algorithm built); an exception counts as unfit and is logged.
        std::function<bool(const DataList&)> isCompatible;

        /// The last ";"-separated piece of the category: the name shown to the user.
        [[nodiscard]] std::string displayName() const;
    };

    /// `hidden`: the factory's algorithms are created by identifier only and stay out of the menus.
    AlgorithmFactory(std::string name, bool hidden);
    AlgorithmFactory(const AlgorithmFactory&) = delete;
    AlgorithmFactory& operator=(const AlgorithmFactory&) = delete;
    virtual ~AlgorithmFactory();

    [[nodiscard]] const std::string& name() const { return m_name; }
    [[nodiscard]] bool isHidden() const { return m_hidden; }

    /// Creates the algorithm of that identifier (looked up as algorithmDescriptor does) on the data; null (with a
    /// log line) when unknown or unfit.
    [[nodiscard]] virtual std::unique_ptr<Algorithm> instantiateAlgorithm(const std::string& id,
                                                                          const DataList& data) const;
    /// Descriptors whose compatibility rule accepts the data: the front factories' first (the latest added first),
    /// then this factory's own in registration order, without the ones a front factory overrides.
    [[nodiscard]] virtual std::vector<const Descriptor*> compatibleDescriptors(const DataList& data) const;
    /// The descriptor of an identifier, or null. The front factories answer first, so their registration of an
    /// identifier overrides this factory's.
    [[nodiscard]] virtual const Descriptor* algorithmDescriptor(const std::string& id) const;
    /// Every descriptor that algorithmDescriptor can return, in the order of compatibleDescriptors.
    [[nodiscard]] virtual std::vector<const Descriptor*> algorithmDescriptors() const;
    /// Puts `factory` in front of this one and keeps it for this factory's lifetime: from then on its algorithms
    /// are consulted before this factory's own and before those of factories added earlier. A more specific
    /// factory can so extend a general one, or override some of its identifiers without touching its code. A
    /// null factory is refused (Error, "AlgorithmFactory"). Returns whether the factory was added.
    virtual bool addAlgorithmFactoryToFront(std::unique_ptr<AlgorithmFactory> factory);

    /// Identifier of the algorithm's run-time type as the front factories, then this one, registered it; empty
    /// when none did.
    [[nodiscard]] std::string algorithmId(const Algorithm& algorithm) const;

protected:
    /// Registers an algorithm class under "<factory name>.<short name>" (the short name alone when the factory
    /// name is empty). A duplicate identifier keeps the first registration and logs
    /// "Algorithm already registered: <id>" (Warning, "AlgorithmFactory"). A descriptor that addDescriptor refuses
    /// (a null rule, for instance) is logged at Warning too. Only an accepted registration maps the class to its
    /// identifier (the first identifier of a class stays). Returns whether it was registered.
    template<typename AlgorithmClass>
    bool registerAlgorithm(const std::string& shortName, const std::string& category,
                           CreationRule rule = &AlgorithmClass::createCompatible)
    {
        return registerAlgorithm(std::type_index(typeid(AlgorithmClass)), shortName, category, std::move(rule));
    }
    bool registerAlgorithm(std::type_index type, const std::string& shortName, const std::string& category,
                           CreationRule rule, std::shared_ptr<const Properties> preset = nullptr);

    /// Hands a descriptor to the factory's table; false when refused (empty identifier, no creation function, or
    /// an identifier already in the table).
    virtual bool addDescriptor(Descriptor descriptor);

private:
    /// This factory's own registration of an identifier, ignoring the front factories.
    [[nodiscard]] const Descriptor* ownDescriptor(const std::string& id) const;
    /// Whether `descriptor` is the one algorithmDescriptor answers for its identifier, i.e. not overridden.
    [[nodiscard]] bool isVisible(const Descriptor* descriptor) const;

    std::string m_name;
    bool m_hidden;
    // A deque, so that the descriptor pointers handed out stay valid when a later registration appends.
    std::deque<Descriptor> m_descriptors;
    std::map<std::type_index, std::string> m_typeToId;
    /// Consulted before m_descriptors, the latest added first.
    std::vector<std::unique_ptr<AlgorithmFactory>> m_front;
};

} // namespace Kelvaros
