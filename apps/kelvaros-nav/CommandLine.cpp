#include "CommandLine.h"

#include <cmath>
#include <cstdlib>

#include <fmt/format.h>

namespace Kelvaros::Nav
{

CommandLine::CommandLine(const std::vector<std::string>& arguments, const Syntax& syntax)
{
    for (size_t i = 0; i < arguments.size() && ok(); ++i)
    {
        const std::string& argument = arguments[i];
        if (argument.rfind("--", 0) != 0 || argument == "--")
        {
            m_positional.push_back(argument);
            continue;
        }
        std::string name = argument.substr(2);
        std::optional<std::string> inlineValue;
        if (const auto equals = name.find('='); equals != std::string::npos)
        {
            inlineValue = name.substr(equals + 1);
            name.resize(equals);
        }
        if ((m_values.count(name) && !syntax.repeatable.count(name)) || m_flags.count(name))
            m_error = fmt::format("option --{} given twice", name);
        else if (syntax.flags.count(name) && !inlineValue)
            m_flags.insert(name);
        else if (!syntax.valued.count(name))
            m_error = fmt::format("unknown option --{}", name);
        else if (inlineValue || i + 1 < arguments.size())
        {
            const std::string& given = inlineValue ? *inlineValue : arguments[++i];
            m_values.emplace(name, given);
            m_everyValue[name].push_back(given);
        }
        else
            m_error = fmt::format("option --{} needs a value", name);
    }
    if (!ok())
        return;
    const int count = static_cast<int>(m_positional.size());
    if (count < syntax.minPositional)
        m_error = "missing argument";
    else if (count > syntax.maxPositional)
        m_error = fmt::format("unexpected argument '{}'", m_positional[syntax.maxPositional]);
}

std::optional<std::string> CommandLine::value(const std::string& name) const
{
    const auto it = m_values.find(name);
    if (it == m_values.end())
        return std::nullopt;
    return it->second;
}

std::vector<std::string> CommandLine::values(const std::string& name) const
{
    const auto it = m_everyValue.find(name);
    return it == m_everyValue.end() ? std::vector<std::string>() : it->second;
}

std::optional<double> CommandLine::number(const std::string& name, double fallback, std::string* error) const
{
    const auto text = value(name);
    if (!text)
        return fallback;
    char* end = nullptr;
    const double parsed = std::strtod(text->c_str(), &end);
    if (text->empty() || *end != '\0' || !std::isfinite(parsed))
    {
        *error = fmt::format("--{} needs a number, not '{}'", name, *text);
        return std::nullopt;
    }
    return parsed;
}

std::optional<int> CommandLine::integer(const std::string& name, int fallback, std::string* error) const
{
    const auto text = value(name);
    if (!text)
        return fallback;
    char* end = nullptr;
    const long parsed = std::strtol(text->c_str(), &end, 10);
    if (text->empty() || *end != '\0' || parsed < -1000000000L || parsed > 1000000000L)
    {
        *error = fmt::format("--{} needs a whole number, not '{}'", name, *text);
        return std::nullopt;
    }
    return static_cast<int>(parsed);
}

} // namespace Kelvaros::Nav
