#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "core/Export.h"
#include "core/PropertyValue.h"

namespace Kelvaros
{

/// A tree of named, typed values: the persistent settings of algorithms, streams and workspaces.
/// Each node has a name, an ordered list of parameters (key, value text, optional default, parameter type,
/// attribute string, label) and an ordered list of child nodes ("sub-properties"). Keys are unique inside a node;
/// child names need not be (lists are stored as several children of one name).
/// Not thread-safe: one thread at a time.
class KELVAROS_API Properties
{
public:
    explicit Properties(std::string name = std::string());
    Properties(const Properties& other);
    Properties& operator=(const Properties& other);
    ~Properties();

    [[nodiscard]] const std::string& name() const { return m_name; }
    void setName(const std::string& name) { m_name = name; }

    /// Reads a key. Returns false, leaving `value` untouched, when the key is absent or its text does not
    /// convert to T.
    template<typename T>
    bool param(const std::string& key, T& value) const
    {
        const Param* p = find(key);
        return p && PropertyValue<T>::fromText(p->value, value);
    }

    /// Reads a key, or returns the fallback.
    template<typename T>
    [[nodiscard]] T paramOr(const std::string& key, T fallback) const
    {
        param(key, fallback);
        return fallback;
    }

    /// Writes a key (adding it at the end when new) and records the value type.
    template<typename T>
    void setParam(const std::string& key, const T& value)
    {
        Param& p = findOrAdd(key);
        p.value = PropertyValue<T>::toText(value);
        if (p.type == ParamTypeUnknown)
            p.type = PropertyValue<T>::type;
    }

    /// Writes a key together with its default value.
    template<typename T>
    void setParam(const std::string& key, const T& value, const T& defaultValue)
    {
        setParam(key, value);
        Param& p = findOrAdd(key);
        p.defaultValue = PropertyValue<T>::toText(defaultValue);
        p.hasDefault = true;
    }

    /// Reads the default recorded with a key; false when there is none.
    template<typename T>
    bool paramDefault(const std::string& key, T& value) const
    {
        const Param* p = find(key);
        return p && p->hasDefault && PropertyValue<T>::fromText(p->defaultValue, value);
    }

    [[nodiscard]] bool hasParam(const std::string& key) const { return find(key) != nullptr; }
    /// The stored text of a key (empty when absent).
    [[nodiscard]] std::string paramText(const std::string& key) const;
    /// Keys in their order.
    [[nodiscard]] std::vector<std::string> params() const;
    void removeParam(const std::string& key);

    /// Parameter type of a key (one of ParamType); adds the key with empty text when absent.
    void setParamType(const std::string& key, int type);
    [[nodiscard]] int paramType(const std::string& key) const;
    /// Attribute string of a key: "name: value" pairs separated by ", " (for example "min: 0, max: 10");
    /// adds the key with empty text when absent. See parseAttributes for the quoting rule.
    void setParamAttributes(const std::string& key, const std::string& attributes);
    [[nodiscard]] std::string paramAttributes(const std::string& key) const;

    /// Display label of a key for the property editor (empty: the editor shows the key); adds the key with empty
    /// text when absent. Kept apart from the attribute string, so that replacing the attributes keeps the label.
    void setParamLabel(const std::string& key, const std::string& label);
    [[nodiscard]] std::string paramLabel(const std::string& key) const;

    /// Parses an attribute string into its pairs. The grammar, shared with formatAttributes:
    /// - pairs are separated by commas (", " when written); name and value by the first colon of the pair;
    ///   white space around names and values is not part of them;
    /// - a name or value that begins with a single quote runs to the next single quote ('a, b: c'); an apostrophe
    ///   elsewhere is an ordinary character ("tooltip: don't");
    /// - a backslash takes the next character literally, inside quotes (\' and \\) and outside;
    /// - a piece without a colon continues the previous value, so a hand-written "values: A, B, C" is the one
    ///   value "A, B, C" (before any pair, such a piece is a name with an empty value);
    /// - a later pair of the same name replaces an earlier one.
    /// Never fails: an unclosed quote runs to the end of the text.
    static std::map<std::string, std::string> parseAttributes(const std::string& attributes);
    /// Writes pairs in map order as "name: value, name: value", quoting a name or value that has leading or
    /// trailing white space or contains ',', ':', a single quote or a backslash, so that parseAttributes gives the
    /// same map back.
    static std::string formatAttributes(const std::map<std::string, std::string>& attributes);

    /// Adds an empty child at the end and returns it (owned by this node).
    Properties* addSubProperties(const std::string& name);
    /// Adds a copy of a node at the end and returns it.
    Properties* addSubProperties(const Properties& node);
    /// The first child of that name, or null.
    [[nodiscard]] Properties* subProperties(const std::string& name) const;
    /// Every child of that name in order; every child when the name is empty.
    [[nodiscard]] std::vector<Properties*> subPropertiesAll(const std::string& name = std::string()) const;
    /// Removes and deletes a child; false when it is not a child of this node.
    bool removeSubProperties(const Properties* child);

    /// Makes this node a deep copy of another (name, parameters and children).
    void copyFrom(const Properties& other);
    /// Removes every parameter and child; the name stays.
    void clear();
    [[nodiscard]] bool isEmpty() const { return m_params.empty() && m_children.empty(); }

    bool operator==(const Properties& other) const;
    bool operator!=(const Properties& other) const { return !(*this == other); }

    /// The XML text of this tree. Loading it and writing again gives the same bytes.
    [[nodiscard]] std::string toXml() const;
    /// Parses XML text; on any error logs "<source>:<line>:<column>: <reason>" at Error level in category
    /// "Properties" and returns null (nothing half-read is returned).
    static std::unique_ptr<Properties> fromXml(const std::string& xml, const std::string& sourceName = "<text>");
    /// Writes toXml() to a file (atomically: a temporary file renamed over the target); false and a log line on
    /// failure.
    [[nodiscard]] bool saveToXmlFile(const std::string& path) const;
    /// Reads a file written by saveToXmlFile (or by hand); null and a log line naming file, line and column on
    /// any error.
    static std::unique_ptr<Properties> loadFromXmlFile(const std::string& path);

private:
    struct Param
    {
        std::string key;
        std::string value;
        std::string defaultValue;
        bool hasDefault = false;
        int type = ParamTypeUnknown;
        std::string attributes;
        std::string label;
        bool operator==(const Param& o) const;
    };

    const Param* find(const std::string& key) const;
    Param& findOrAdd(const std::string& key);

    std::string m_name;
    std::vector<Param> m_params;
    std::vector<std::unique_ptr<Properties>> m_children;

    friend class PropertiesXml;
};

} // namespace Kelvaros
