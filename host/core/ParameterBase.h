#pragma once

#include <map>
#include <string>

#include "core/Export.h"
#include "core/Signal.h"

namespace Kelvaros
{

class Configurable;
class Properties;

/// A named setting of a Configurable: it writes itself into and reads itself from the owner's properties under
/// its name, and carries a label and attributes for the property editor ("min", "max", "values", "hidden",
/// "tooltip"). The owner outlives its parameters' registration: a parameter unregisters itself when destroyed.
class KELVAROS_API ParameterBase
{
public:
    /// Registers with the owner when one is given.
    ParameterBase(std::string name, Configurable* owner);
    ParameterBase(const ParameterBase&) = delete;
    ParameterBase& operator=(const ParameterBase&) = delete;
    virtual ~ParameterBase();

    [[nodiscard]] const std::string& name() const { return m_name; }
    [[nodiscard]] const std::string& label() const { return m_label; }
    void setLabel(const std::string& label) { m_label = label; }

    void setAttribute(const std::string& key, const std::string& value);
    /// Empty when the attribute is not set.
    [[nodiscard]] std::string attribute(const std::string& key) const;
    [[nodiscard]] const std::map<std::string, std::string>& attributes() const { return m_attributes; }
    /// The attributes in the attribute-string form of Properties ("min: 0, max: 10").
    [[nodiscard]] std::string attributeString() const;

    /// Writes value, default, type, attributes and label under the parameter's name.
    virtual void writeTo(Properties& properties) const = 0;
    /// Reads the value under the parameter's name; false (value unchanged) when absent or not convertible.
    virtual bool readFrom(const Properties& properties) = 0;
    virtual void resetToDefault() = 0;
    /// The value as property text.
    [[nodiscard]] virtual std::string valueText() const = 0;
    [[nodiscard]] virtual int type() const = 0;

    /// Emitted after every change of value, with this parameter, on the thread that changed it.
    SignalImpl<ParameterBase*> signalChanged;

protected:
    /// Emits signalChanged and the owner's parameter-change notification.
    void notifyChanged();

private:
    friend class Configurable;
    std::string m_name;
    std::string m_label;
    std::map<std::string, std::string> m_attributes;
    Configurable* m_owner = nullptr;
};

} // namespace Kelvaros
