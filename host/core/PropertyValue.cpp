#include "core/PropertyValue.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include <fmt/format.h>

namespace Kelvaros::PropertyText
{

namespace
{
/// Parses the whole of [begin, end) as one number. std::from_chars is locale-independent, takes no leading
/// white space or '+', and for doubles rounds correctly (subnormals included), so every text written by
/// toText reads back to the same bits.
template<typename T>
bool parseWhole(const char* begin, const char* end, T& value)
{
    if (begin == end)
        return false;
    T parsed{};
    const auto result = std::from_chars(begin, end, parsed);
    if (result.ec != std::errc() || result.ptr != end)
        return false;
    value = parsed;
    return true;
}

template<typename T>
bool parseWhole(const std::string& text, T& value)
{
    return parseWhole(text.data(), text.data() + text.size(), value);
}

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}
} // namespace

std::string toText(bool value)
{
    return value ? "1" : "0";
}

std::string toText(int value)
{
    return fmt::format("{}", value);
}

std::string toText(long long value)
{
    return fmt::format("{}", value);
}

std::string toText(unsigned long long value)
{
    return fmt::format("{}", value);
}

std::string toText(double value)
{
    // fmt's default presentation is the shortest text that reads back to the same double (Ryu-like); it writes
    // "inf", "-inf", "nan" and "-nan", which from_chars reads back.
    return fmt::format("{}", value);
}

std::string toText(const std::string& value)
{
    return value;
}

std::string toText(const double* values, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i)
    {
        if (i > 0)
            text += ' ';
        text += toText(values[i]);
    }
    return text;
}

bool fromText(const std::string& text, bool& value)
{
    if (text == "1" || text == "true")
        value = true;
    else if (text == "0" || text == "false")
        value = false;
    else
        return false;
    return true;
}

bool fromText(const std::string& text, int& value)
{
    return parseWhole(text, value);
}

bool fromText(const std::string& text, long long& value)
{
    return parseWhole(text, value);
}

bool fromText(const std::string& text, unsigned long long& value)
{
    return parseWhole(text, value);
}

bool fromText(const std::string& text, double& value)
{
    return parseWhole(text, value);
}

bool fromText(const std::string& text, std::string& value)
{
    value = text;
    return true;
}

bool fromText(const std::string& text, double* values, int count)
{
    // Parsed into a scratch buffer first so that a failure leaves the caller's values untouched.
    std::vector<double> parsed;
    parsed.reserve(size_t(std::max(count, 0)));
    const char* p = text.data();
    const char* const end = p + text.size();
    while (true)
    {
        while (p != end && isSpace(*p))
            ++p;
        if (p == end)
            break;
        const char* tokenEnd = p;
        while (tokenEnd != end && !isSpace(*tokenEnd))
            ++tokenEnd;
        double d = 0;
        if (int(parsed.size()) == count || !parseWhole(p, tokenEnd, d))
            return false;
        parsed.push_back(d);
        p = tokenEnd;
    }
    if (int(parsed.size()) != count)
        return false;
    std::copy(parsed.begin(), parsed.end(), values);
    return true;
}

} // namespace Kelvaros::PropertyText
