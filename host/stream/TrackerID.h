#pragma once

#include <string>

#include "core/Export.h"

namespace Kelvaros
{

/// Identity of one tracked instrument: a unique id string (the key every consumer matches on), the tool's model
/// and a display name. Value type; not synchronised (copy it between threads).
class KELVAROS_API TrackerID
{
public:
    TrackerID() = default;
    TrackerID(std::string id, std::string model, std::string name);

    /// The unique id; instruments are matched by this string alone.
    [[nodiscard]] const std::string& ID() const { return m_id; }
    [[nodiscard]] const std::string& model() const { return m_model; }
    [[nodiscard]] const std::string& name() const { return m_name; }
    void setName(const std::string& name) { m_name = name; }

    /// True when the id is empty: such an identity names no instrument, whatever its model and name say.
    [[nodiscard]] bool empty() const { return m_id.empty(); }

    /// The text form stored in configurations and shown in instrument lists: "id|model|name", where every '|'
    /// and '\' inside a part is written as "\|" and "\\", so that fromIDModelNameString gives back exactly the
    /// three strings, whatever they contain. With displayOnly true a shorter label for people is returned
    /// instead ("name (id)", or the id alone when the name is empty or equal to it); it is not meant to be read
    /// back.
    [[nodiscard]] std::string toIDModelNameString(bool displayOnly = false) const;

    /// Reads the text form. A text without an unescaped '|' is taken as a plain id (model and name empty);
    /// a text with one separator gives id and model. A '\' that does not start one of the two escapes is kept
    /// as it is, so that plain ids containing backslashes survive.
    static TrackerID fromIDModelNameString(const std::string& text);

    bool operator==(const TrackerID& other) const;
    bool operator!=(const TrackerID& other) const { return !(*this == other); }

private:
    std::string m_id;
    std::string m_model;
    std::string m_name;
};

} // namespace Kelvaros
