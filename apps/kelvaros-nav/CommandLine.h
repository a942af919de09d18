#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Kelvaros::Nav
{

/// The arguments of one command: `kelvaros-nav <command> [positional...] [--option value] [--flag]`.
///
/// A command declares which options take a value and which are flags; anything else starting with "--" is an
/// error, as is an option given twice or a valued option at the end of the line. "--option=value" is accepted too.
class CommandLine
{
public:
    struct Syntax
    {
        std::set<std::string> valued; ///< option names without the leading "--"
        std::set<std::string> flags;
        int minPositional = 0;
        int maxPositional = 0;
        /// Valued options that may be given more than once (values() has them all, value() the first).
        std::set<std::string> repeatable = {};
    };

    /// Parses the arguments after the command name. On failure error() says why and the rest is unspecified.
    CommandLine(const std::vector<std::string>& arguments, const Syntax& syntax);

    [[nodiscard]] bool ok() const { return m_error.empty(); }
    [[nodiscard]] const std::string& error() const { return m_error; }

    [[nodiscard]] const std::vector<std::string>& positional() const { return m_positional; }
    [[nodiscard]] std::optional<std::string> value(const std::string& name) const;
    /// Every value of a valued option, in the order given.
    [[nodiscard]] std::vector<std::string> values(const std::string& name) const;
    [[nodiscard]] bool flag(const std::string& name) const { return m_flags.count(name) > 0; }

    /// The option as a number; empty (and `error` set) when it is present but not a finite number.
    [[nodiscard]] std::optional<double> number(const std::string& name, double fallback, std::string* error) const;
    [[nodiscard]] std::optional<int> integer(const std::string& name, int fallback, std::string* error) const;

private:
    std::vector<std::string> m_positional;
    std::map<std::string, std::string> m_values;
    std::map<std::string, std::vector<std::string>> m_everyValue;
    std::set<std::string> m_flags;
    std::string m_error;
};

} // namespace Kelvaros::Nav
