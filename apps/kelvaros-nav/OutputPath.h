#pragma once

#include <initializer_list>
#include <optional>
#include <string>

namespace Kelvaros::Nav
{

/// True, with the sentence for the user in `error`, when `output` (an --out value) names the same file as one of
/// `inputs` (options not given are empty), also through a link: writing it would destroy an input, often while it
/// is still being read. Every command with an --out asks this before it reads or writes anything.
bool refuseOwnInput(const std::optional<std::string>& output, std::initializer_list<std::optional<std::string>> inputs,
                    std::string* error);

} // namespace Kelvaros::Nav
