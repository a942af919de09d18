#include "core/String.h"

namespace Kelvaros::String
{

namespace
{
const char* const kWhiteSpace = " \t\n\r\f\v";
} // namespace

std::vector<std::string> split(const std::string& text, const std::string& delimiters, bool skipEmpty)
{
    std::vector<std::string> pieces;
    size_t begin = 0;
    while (true)
    {
        const size_t end = text.find_first_of(delimiters, begin);
        std::string piece = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        if (!skipEmpty || !piece.empty())
            pieces.push_back(std::move(piece));
        if (end == std::string::npos)
            break;
        begin = end + 1;
    }
    return pieces;
}

std::string trim(const std::string& text)
{
    const size_t begin = text.find_first_not_of(kWhiteSpace);
    if (begin == std::string::npos)
        return std::string();
    const size_t end = text.find_last_not_of(kWhiteSpace);
    return text.substr(begin, end - begin + 1);
}

bool startsWith(const std::string& text, const std::string& prefix)
{
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

} // namespace Kelvaros::String
