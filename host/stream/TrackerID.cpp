#include "stream/TrackerID.h"

#include <utility>
#include <vector>

namespace Kelvaros
{

namespace
{
constexpr char separator = '|';
constexpr char escape = '\\';

void appendEscaped(std::string& out, const std::string& part)
{
    for (char c : part)
    {
        if (c == separator || c == escape)
            out.push_back(escape);
        out.push_back(c);
    }
}
} // namespace

TrackerID::TrackerID(std::string id, std::string model, std::string name)
  : m_id(std::move(id)), m_model(std::move(model)), m_name(std::move(name))
{
}

std::string TrackerID::toIDModelNameString(bool displayOnly) const
{
    if (displayOnly)
    {
        if (m_name.empty() || m_name == m_id)
            return m_id;
        return m_name + " (" + m_id + ")";
    }
    std::string out;
    out.reserve(m_id.size() + m_model.size() + m_name.size() + 2);
    appendEscaped(out, m_id);
    out.push_back(separator);
    appendEscaped(out, m_model);
    out.push_back(separator);
    appendEscaped(out, m_name);
    return out;
}

TrackerID TrackerID::fromIDModelNameString(const std::string& text)
{
    // Three parts at most: a separator after the second one belongs to the name, so a hand-written
    // "id|model|a|b" still reads as the name "a|b" rather than losing text.
    std::vector<std::string> parts(1);
    for (size_t i = 0; i < text.size(); ++i)
    {
        const char c = text[i];
        if (c == escape && i + 1 < text.size() && (text[i + 1] == escape || text[i + 1] == separator))
        {
            parts.back().push_back(text[++i]);
        }
        else if (c == separator && parts.size() < 3)
        {
            parts.emplace_back();
        }
        else
        {
            parts.back().push_back(c);
        }
    }
    parts.resize(3);
    return TrackerID(std::move(parts[0]), std::move(parts[1]), std::move(parts[2]));
}

bool TrackerID::operator==(const TrackerID& other) const
{
    return m_id == other.m_id && m_model == other.m_model && m_name == other.m_name;
}

} // namespace Kelvaros
