#include "core/Properties.h"

#include <algorithm>
#include <utility>

#include "core/PropertiesXml.h"

namespace Kelvaros
{

bool Properties::Param::operator==(const Param& o) const
{
    return key == o.key && value == o.value && hasDefault == o.hasDefault &&
           (!hasDefault || defaultValue == o.defaultValue) && type == o.type && attributes == o.attributes &&
           label == o.label;
}

Properties::Properties(std::string name) : m_name(std::move(name)) {}

Properties::Properties(const Properties& other) : m_name(other.m_name), m_params(other.m_params)
{
    m_children.reserve(other.m_children.size());
    for (const auto& child : other.m_children)
        m_children.push_back(std::make_unique<Properties>(*child));
}

Properties& Properties::operator=(const Properties& other)
{
    copyFrom(other);
    return *this;
}

Properties::~Properties() = default;

const Properties::Param* Properties::find(const std::string& key) const
{
    const auto it = std::find_if(m_params.begin(), m_params.end(), [&](const Param& p) { return p.key == key; });
    return it == m_params.end() ? nullptr : &*it;
}

Properties::Param& Properties::findOrAdd(const std::string& key)
{
    const auto it = std::find_if(m_params.begin(), m_params.end(), [&](const Param& p) { return p.key == key; });
    if (it != m_params.end())
        return *it;
    Param& p = m_params.emplace_back();
    p.key = key;
    return p;
}

std::string Properties::paramText(const std::string& key) const
{
    const Param* p = find(key);
    return p ? p->value : std::string();
}

std::vector<std::string> Properties::params() const
{
    std::vector<std::string> keys;
    keys.reserve(m_params.size());
    for (const Param& p : m_params)
        keys.push_back(p.key);
    return keys;
}

void Properties::removeParam(const std::string& key)
{
    m_params.erase(std::remove_if(m_params.begin(), m_params.end(), [&](const Param& p) { return p.key == key; }),
                   m_params.end());
}

void Properties::setParamType(const std::string& key, int type)
{
    findOrAdd(key).type = type;
}

int Properties::paramType(const std::string& key) const
{
    const Param* p = find(key);
    return p ? p->type : ParamTypeUnknown;
}

void Properties::setParamAttributes(const std::string& key, const std::string& attributes)
{
    findOrAdd(key).attributes = attributes;
}

std::string Properties::paramAttributes(const std::string& key) const
{
    const Param* p = find(key);
    return p ? p->attributes : std::string();
}

void Properties::setParamLabel(const std::string& key, const std::string& label)
{
    findOrAdd(key).label = label;
}

std::string Properties::paramLabel(const std::string& key) const
{
    const Param* p = find(key);
    return p ? p->label : std::string();
}

Properties* Properties::addSubProperties(const std::string& name)
{
    m_children.push_back(std::make_unique<Properties>(name));
    return m_children.back().get();
}

Properties* Properties::addSubProperties(const Properties& node)
{
    // Copied before insertion: node may be this node or one of its descendants.
    auto copy = std::make_unique<Properties>(node);
    m_children.push_back(std::move(copy));
    return m_children.back().get();
}

Properties* Properties::subProperties(const std::string& name) const
{
    for (const auto& child : m_children)
        if (child->m_name == name)
            return child.get();
    return nullptr;
}

std::vector<Properties*> Properties::subPropertiesAll(const std::string& name) const
{
    std::vector<Properties*> result;
    for (const auto& child : m_children)
        if (name.empty() || child->m_name == name)
            result.push_back(child.get());
    return result;
}

bool Properties::removeSubProperties(const Properties* child)
{
    const auto it = std::find_if(m_children.begin(), m_children.end(),
                                 [&](const std::unique_ptr<Properties>& c) { return c.get() == child; });
    if (it == m_children.end())
        return false;
    m_children.erase(it);
    return true;
}

void Properties::copyFrom(const Properties& other)
{
    if (&other == this)
        return;
    // Built aside and swapped in, because other may be a descendant of this node that clearing would delete.
    Properties copy(other);
    m_name = std::move(copy.m_name);
    m_params = std::move(copy.m_params);
    m_children = std::move(copy.m_children);
}

void Properties::clear()
{
    m_params.clear();
    m_children.clear();
}

bool Properties::operator==(const Properties& other) const
{
    if (m_name != other.m_name || m_params != other.m_params || m_children.size() != other.m_children.size())
        return false;
    for (size_t i = 0; i < m_children.size(); ++i)
        if (*m_children[i] != *other.m_children[i])
            return false;
    return true;
}

std::string Properties::toXml() const
{
    return PropertiesXml::write(*this);
}

std::unique_ptr<Properties> Properties::fromXml(const std::string& xml, const std::string& sourceName)
{
    return PropertiesXml::read(xml, sourceName);
}

bool Properties::saveToXmlFile(const std::string& path) const
{
    return PropertiesXml::writeFile(*this, path);
}

std::unique_ptr<Properties> Properties::loadFromXmlFile(const std::string& path)
{
    return PropertiesXml::readFile(path);
}

namespace
{
bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/// One character of an attribute string after quoting and escapes are resolved. Literal characters (quoted or
/// escaped) are never separators and never trimmed.
struct AttributeChar
{
    char c;
    bool literal;
};
using AttributeText = std::vector<AttributeChar>;

std::string trimmedText(const AttributeText& text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && !text[begin].literal && isSpace(text[begin].c))
        ++begin;
    while (end > begin && !text[end - 1].literal && isSpace(text[end - 1].c))
        --end;
    std::string result;
    result.reserve(end - begin);
    for (size_t i = begin; i < end; ++i)
        result += text[i].c;
    return result;
}

bool needsQuotes(const std::string& text)
{
    if (!text.empty() && (isSpace(text.front()) || isSpace(text.back())))
        return true;
    return text.find_first_of(",:'\\") != std::string::npos;
}

std::string quoted(const std::string& text)
{
    if (!needsQuotes(text))
        return text;
    std::string result = "'";
    for (char c : text)
    {
        if (c == '\'' || c == '\\')
            result += '\\';
        result += c;
    }
    result += '\'';
    return result;
}
} // namespace

std::map<std::string, std::string> Properties::parseAttributes(const std::string& attributes)
{
    // Pieces are split at structural commas; each piece is a name, optionally followed by a structural colon and
    // a value. Quotes open only where a name or value begins, so apostrophes inside words stay ordinary.
    struct Piece
    {
        AttributeText name;
        AttributeText value;
        bool hasColon = false;
    };
    std::vector<Piece> pieces(1);
    bool inQuotes = false;
    bool atTokenStart = true;
    for (size_t i = 0; i < attributes.size(); ++i)
    {
        const char c = attributes[i];
        Piece& piece = pieces.back();
        AttributeText& token = piece.hasColon ? piece.value : piece.name;
        if (c == '\\' && i + 1 < attributes.size())
        {
            token.push_back({ attributes[++i], true });
            atTokenStart = false;
        }
        else if (inQuotes)
        {
            if (c == '\'')
                inQuotes = false;
            else
                token.push_back({ c, true });
        }
        else if (c == '\'' && atTokenStart)
        {
            inQuotes = true;
            atTokenStart = false;
        }
        else if (c == ',')
        {
            pieces.emplace_back();
            atTokenStart = true;
        }
        else if (c == ':' && !piece.hasColon)
        {
            piece.hasColon = true;
            atTokenStart = true;
        }
        else
        {
            token.push_back({ c, false });
            if (!isSpace(c))
                atTokenStart = false;
        }
    }

    // A trailing separator ("min: 0, ") adds nothing.
    while (pieces.size() > 1 && !pieces.back().hasColon && trimmedText(pieces.back().name).empty())
        pieces.pop_back();

    std::vector<std::pair<AttributeText, AttributeText>> pairs;
    for (Piece& piece : pieces)
    {
        if (piece.hasColon)
            pairs.emplace_back(std::move(piece.name), std::move(piece.value));
        else if (!pairs.empty())
        {
            // The comma belonged to the value ("values: A, B, C").
            AttributeText& value = pairs.back().second;
            value.push_back({ ',', true });
            value.insert(value.end(), piece.name.begin(), piece.name.end());
        }
        else if (!trimmedText(piece.name).empty())
            pairs.emplace_back(std::move(piece.name), AttributeText());
    }

    std::map<std::string, std::string> result;
    for (const auto& [name, value] : pairs)
        result[trimmedText(name)] = trimmedText(value);
    return result;
}

std::string Properties::formatAttributes(const std::map<std::string, std::string>& attributes)
{
    std::string text;
    for (const auto& [name, value] : attributes)
    {
        if (!text.empty())
            text += ", ";
        text += quoted(name);
        text += ": ";
        text += quoted(value);
    }
    return text;
}

} // namespace Kelvaros
