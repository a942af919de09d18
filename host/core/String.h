#pragma once

#include <string>
#include <vector>

#include "core/Export.h"

namespace Kelvaros::String
{
/// Splits at every occurrence of any of the delimiter characters; with skipEmpty, empty pieces are dropped.
/// split("a;;b", ";") is {"a", "", "b"}; split("", ";") is {""}.
KELVAROS_API std::vector<std::string> split(const std::string& text, const std::string& delimiters,
                                            bool skipEmpty = false);
/// Removes leading and trailing white space.
KELVAROS_API std::string trim(const std::string& text);
KELVAROS_API bool startsWith(const std::string& text, const std::string& prefix);
} // namespace Kelvaros::String
