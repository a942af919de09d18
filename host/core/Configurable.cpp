#include "core/Configurable.h"

#include <algorithm>

#include "core/ParameterBase.h"
#include "core/Properties.h"

namespace Kelvaros
{

Configurable::~Configurable()
{
    // Parameters declared as members of a derived class have unregistered themselves already (members die before
    // the base). Any left outlive this object: they must not call back into it.
    for (ParameterBase* parameter : m_parameters)
        parameter->m_owner = nullptr;
}

void Configurable::configure(const Properties* properties)
{
    if (!properties)
        return;
    // A copy, because a change signal may register or unregister parameters.
    const std::vector<ParameterBase*> parameters = m_parameters;
    for (ParameterBase* parameter : parameters)
        parameter->readFrom(*properties);
}

void Configurable::configuration(Properties* properties) const
{
    if (!properties)
        return;
    for (const ParameterBase* parameter : m_parameters)
        parameter->writeTo(*properties);
}

void Configurable::configureDefaults()
{
    const std::vector<ParameterBase*> parameters = m_parameters;
    for (ParameterBase* parameter : parameters)
        parameter->resetToDefault();
}

void Configurable::registerParameter(ParameterBase* parameter)
{
    if (!parameter || parameter->m_owner == this)
        return;
    // A parameter has one owner: the one that is notified of its changes and that it leaves when destroyed.
    if (parameter->m_owner)
        parameter->m_owner->unregisterParameter(parameter);
    m_parameters.push_back(parameter);
    parameter->m_owner = this;
}

void Configurable::unregisterParameter(ParameterBase* parameter)
{
    const auto it = std::find(m_parameters.begin(), m_parameters.end(), parameter);
    if (it == m_parameters.end())
        return;
    m_parameters.erase(it);
    if (parameter->m_owner == this)
        parameter->m_owner = nullptr;
}

ParameterBase* Configurable::parameter(const std::string& name) const
{
    for (ParameterBase* parameter : m_parameters)
        if (parameter->name() == name)
            return parameter;
    return nullptr;
}

} // namespace Kelvaros
