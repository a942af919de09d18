#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QMetaObject>

class QString;
class QWidget;

namespace Kelvaros
{

/// The editor of one property value inside a PropertyWidget: a check box, spin box, combo box, line edit or a
/// row of spin boxes, chosen by the parameter type and attributes. Values travel as property text, so that one
/// code path serves every parameter type. The widget belongs to the parent given at creation (Qt ownership);
/// destroying the editor disconnects the widget and schedules its deletion. Main thread only.
class PropertyEditor
{
public:
    using Attributes = std::map<std::string, std::string>;

    /// The editor that suits the type (a ParamType) and attributes; `valueText` fixes the number of components
    /// of a vector.
    static std::unique_ptr<PropertyEditor> create(int type, const std::string& valueText, const Attributes& attributes,
                                                  QWidget* parent);
    /// Editors of equal kind can show each other's values: a PropertyWidget keeps an editor while its kind stays.
    static std::string kindOf(int type, const std::string& valueText, const Attributes& attributes);

    PropertyEditor(const PropertyEditor&) = delete;
    PropertyEditor& operator=(const PropertyEditor&) = delete;
    virtual ~PropertyEditor();

    [[nodiscard]] QWidget* widget() const { return m_widget; }
    /// Whether a unit taken from the label belongs in the editor (numbers do; a check box has none).
    [[nodiscard]] virtual bool showsUnit() const { return false; }

    /// Shows a value without reporting it as an edit; leaves the editor alone when it shows that value already,
    /// so that a value coming back from the target never disturbs typing.
    virtual void showValue(const std::string& valueText) = 0;
    /// Ranges ("min", "max", "step", "decimals") and the unit suffix.
    virtual void applyAttributes(const Attributes& attributes, const QString& unit);
    void setToolTip(const QString& toolTip);

    /// Called with the new value text after each edit by the user.
    std::function<void(const std::string&)> onEdited;

protected:
    explicit PropertyEditor(QWidget* widget);
    void edited(const std::string& valueText);
    /// Keeps a connection of the widget to this editor, to be cut when the editor goes.
    void keep(QMetaObject::Connection connection);

private:
    QWidget* m_widget;
    std::vector<QMetaObject::Connection> m_connections;
};

} // namespace Kelvaros
