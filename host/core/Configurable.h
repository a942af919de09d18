#pragma once

#include <string>
#include <vector>

#include "core/Export.h"
#include "core/Signal.h"

namespace Kelvaros
{

class ParameterBase;
class Properties;

/// An object with persistent settings. The default configure/configuration read and write every registered
/// parameter under its name; subclasses add their own keys and call the base.
class KELVAROS_API Configurable
{
public:
    Configurable() = default;
    Configurable(const Configurable&) = delete;
    Configurable& operator=(const Configurable&) = delete;
    virtual ~Configurable();

    /// Reads every registered parameter present in the properties; does nothing for null.
    virtual void configure(const Properties* properties);
    /// Writes every registered parameter; does nothing for null.
    virtual void configuration(Properties* properties) const;
    /// Resets every registered parameter to its default.
    virtual void configureDefaults();

    /// Parameters are kept by pointer, in registration order; registering twice has no effect. A parameter has one
    /// owner at a time (the one notified of its changes): registering it here takes it from its previous owner.
    /// Main thread (or the thread that owns the object); not concurrently with configure/configuration.
    void registerParameter(ParameterBase* parameter);
    void unregisterParameter(ParameterBase* parameter);
    [[nodiscard]] const std::vector<ParameterBase*>& parameters() const { return m_parameters; }
    /// The registered parameter of that name, or null.
    [[nodiscard]] ParameterBase* parameter(const std::string& name) const;

    /// Emitted after any registered parameter changed, with that parameter, on the thread that changed it.
    SignalImpl<ParameterBase*> signalParametersChanged;

private:
    std::vector<ParameterBase*> m_parameters;
};

} // namespace Kelvaros
