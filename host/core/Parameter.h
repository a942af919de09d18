#pragma once

#include <mutex>
#include <string>
#include <utility>

#include "core/ParameterBase.h"
#include "core/Properties.h"

namespace Kelvaros
{

/// A typed setting: bool, int, double, string, an enum (stored as int with parameter type 8), a fixed-size Eigen
/// vector or matrix, or an optional of one of these. value() and setValue() are thread-safe (a stream thread may
/// read what the user-interface thread writes); setValue signals only real changes.
template<typename T>
class Parameter final : public ParameterBase
{
public:
    Parameter(std::string name, T defaultValue, Configurable* owner = nullptr)
      : ParameterBase(std::move(name), owner), m_value(defaultValue), m_default(std::move(defaultValue))
    {
    }

    [[nodiscard]] T value() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_value;
    }
    operator T() const { return value(); }

    [[nodiscard]] const T& defaultValue() const { return m_default; }

    void setValue(const T& value)
    {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (PropertyValue<T>::toText(m_value) == PropertyValue<T>::toText(value))
                return;
            m_value = value;
        }
        signalValueChanged.emitSignal(value);
        notifyChanged();
    }
    Parameter& operator=(const T& value)
    {
        setValue(value);
        return *this;
    }

    void writeTo(Properties& properties) const override
    {
        properties.setParam(name(), value(), m_default);
        properties.setParamType(name(), type());
        if (!attributes().empty())
            properties.setParamAttributes(name(), attributeString());
        if (!label().empty())
            properties.setParamLabel(name(), label());
    }

    bool readFrom(const Properties& properties) override
    {
        T read = value();
        if (!properties.param(name(), read))
            return false;
        setValue(read);
        return true;
    }

    void resetToDefault() override { setValue(m_default); }
    [[nodiscard]] std::string valueText() const override { return PropertyValue<T>::toText(value()); }
    [[nodiscard]] int type() const override { return PropertyValue<T>::type; }

    /// Emitted after every change, with the new value, on the thread that changed it.
    SignalImpl<T> signalValueChanged;

private:
    mutable std::mutex m_mutex;
    T m_value;
    const T m_default;
};

} // namespace Kelvaros
