#include "OutputPath.h"

#include "core/FileSystem.h"

namespace Kelvaros::Nav
{

bool refuseOwnInput(const std::optional<std::string>& output, std::initializer_list<std::optional<std::string>> inputs,
                    std::string* error)
{
    if (!output)
        return false;
    for (const std::optional<std::string>& input : inputs)
        if (input && FileSystem::isSameFile(*input, *output))
        {
            *error = "--out " + *output + " is the input file " + *input + "; choose another name";
            return true;
        }
    return false;
}

} // namespace Kelvaros::Nav
