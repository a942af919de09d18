#pragma once

#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "core/Export.h"
#include "core/Properties.h"

namespace Kelvaros
{

/// Collects what a workspace held but could not be read, each named with what was dropped, so that loading goes on
/// with the rest and the user learns exactly what is missing.
class KELVAROS_API WorkspaceProblems
{
public:
    explicit WorkspaceProblems(std::vector<std::string>& list) : m_list(list) {}

    /// A key that is absent (files written before it existed) gives the fallback without a word; one whose text
    /// does not convert, or converts to a value `valid` refuses, is noted as "WHAT ('TEXT') could not be read;
    /// CONSEQUENCE".
    template<typename T, typename Valid>
    std::optional<T> read(const Properties& node, const std::string& key, const std::string& what,
                          const std::string& consequence, Valid valid) const
    {
        if (!node.hasParam(key))
            return std::nullopt;
        T value{};
        if (node.param(key, value) && valid(value))
            return value;
        m_list.push_back(
          fmt::format("{} ('{}') could not be read; {}", what, shortened(node.paramText(key)), consequence));
        return std::nullopt;
    }

    template<typename T>
    std::optional<T> read(const Properties& node, const std::string& key, const std::string& what,
                          const std::string& consequence) const
    {
        return read<T>(node, key, what, consequence, [](const T&) { return true; });
    }

    void add(std::string problem) const { m_list.push_back(std::move(problem)); }

private:
    /// A hostile file must not make the message grow without bound.
    static std::string shortened(const std::string& text)
    {
        constexpr size_t kMaxQuoted = 80;
        return text.size() <= kMaxQuoted ? text : text.substr(0, kMaxQuoted) + "…";
    }

    std::vector<std::string>& m_list;
};

} // namespace Kelvaros
