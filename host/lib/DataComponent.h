#pragma once

#include <memory>
#include <string>
#include <typeinfo>

#include "core/Export.h"

namespace Kelvaros
{

/// Extra information attached to a Data object or to a sample (a calibration, fiducials, display options).
/// Components are found by their exact run-time type.
class KELVAROS_API DataComponent
{
public:
    virtual ~DataComponent();
    /// A short identifier of the component kind, for logs and files.
    [[nodiscard]] virtual std::string id() const = 0;
    /// A deep copy of the same run-time type.
    [[nodiscard]] virtual std::unique_ptr<DataComponent> cloneDerived() const = 0;
    /// Copies the content of another component of the same run-time type; false (nothing changed) otherwise.
    virtual bool assign(const DataComponent& other) = 0;
};

/// Implements cloneDerived and assign through the copy operations of the derived class.
template <typename Derived>
class DataComponentBase : public DataComponent
{
public:
    [[nodiscard]] std::unique_ptr<DataComponent> cloneDerived() const override
    {
        return std::make_unique<Derived>(static_cast<const Derived&>(*this));
    }
    bool assign(const DataComponent& other) override
    {
        if (typeid(other) != typeid(Derived))
            return false;
        static_cast<Derived&>(*this) = static_cast<const Derived&>(other);
        return true;
    }
};

} // namespace Kelvaros
