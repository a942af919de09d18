#include "core/ParameterBase.h"

#include <utility>

#include "core/Configurable.h"
#include "core/Properties.h"

namespace Kelvaros
{

ParameterBase::ParameterBase(std::string name, Configurable* owner) : m_name(std::move(name))
{
    if (owner)
        owner->registerParameter(this);
}

ParameterBase::~ParameterBase()
{
    if (m_owner)
        m_owner->unregisterParameter(this);
}

void ParameterBase::setAttribute(const std::string& key, const std::string& value)
{
    m_attributes[key] = value;
}

std::string ParameterBase::attribute(const std::string& key) const
{
    const auto it = m_attributes.find(key);
    return it == m_attributes.end() ? std::string() : it->second;
}

std::string ParameterBase::attributeString() const
{
    return Properties::formatAttributes(m_attributes);
}

void ParameterBase::notifyChanged()
{
    signalChanged.emitSignal(this);
    if (Configurable* owner = m_owner)
        owner->signalParametersChanged.emitSignal(this);
}

} // namespace Kelvaros
