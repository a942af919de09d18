#include "gui/controller/PropertyEditor.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <optional>
#include <sstream>
#include <utility>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QStringList>

#include "core/PropertyValue.h"
#include "gui/controller/QtHelpers.h"

namespace Kelvaros
{

namespace
{
using Attributes = PropertyEditor::Attributes;

// Without "min"/"max" a spin box still needs bounds; these exceed any length in millimetres the host handles.
constexpr double kDefaultDoubleBound = 1e9;
constexpr int kMinDecimals = 2;
constexpr int kMaxDecimals = 6;

std::optional<double> number(const Attributes& attributes, const char* key)
{
    const auto it = attributes.find(key);
    double value = 0;
    if (it == attributes.end() || !PropertyText::fromText(it->second, value) || !std::isfinite(value))
        return std::nullopt;
    return value;
}

QStringList choices(const Attributes& attributes)
{
    const auto it = attributes.find("values");
    QStringList result;
    if (it == attributes.end() || it->second.empty())
        return result;
    for (const QString& choice : QString::fromStdString(it->second).split(','))
        result << choice.trimmed();
    return result;
}

int componentCount(const std::string& valueText)
{
    std::istringstream stream(valueText);
    std::string token;
    int count = 0;
    while (stream >> token)
        ++count;
    return count;
}

/// Decimals that show a value exactly, within [kMinDecimals, kMaxDecimals].
int decimalsFor(double value)
{
    const std::string text = PropertyText::toText(value);
    const size_t point = text.find('.');
    if (text.find_first_of("eE") != std::string::npos)
        return kMaxDecimals;
    const int needed = point == std::string::npos ? 0 : int(text.size() - point - 1);
    return std::clamp(needed, kMinDecimals, kMaxDecimals);
}

/// A spin box asks for the width of its widest bound, which for the default bounds makes a panel with a vector
/// wider than a dock; this width shows everyday values (and the layout gives more when there is room).
void setCompactWidth(QAbstractSpinBox* spin)
{
    const int buttons = spin->buttonSymbols() == QAbstractSpinBox::NoButtons ? 0 : 20;
    spin->setMinimumWidth(spin->fontMetrics().horizontalAdvance(QStringLiteral("-000.00 mm")) + buttons + 8);
}

/// Sets what differs only: each of these setters rewrites the text, which would spoil the user's typing when the
/// attributes come back unchanged after an edit.
template<typename SpinBox, typename Number>
void setSpinBox(SpinBox* spin, Number min, Number max, Number step, const QString& suffix)
{
    if (spin->minimum() != min || spin->maximum() != max)
        spin->setRange(min, max);
    if (spin->singleStep() != step)
        spin->setSingleStep(step);
    if (spin->suffix() != suffix)
        spin->setSuffix(suffix);
}

struct Kind
{
    enum Tag
    {
        Check,
        Choice,
        Integer,
        Real,
        Text
    } tag = Text;
    int components = 1;
    // A choice stores its text (string parameters) or its index (the others).
    bool choiceByText = false;
};

Kind classify(int type, const std::string& valueText, const Attributes& attributes)
{
    if (type == ParamTypeBool)
        return { Kind::Check };
    if (!choices(attributes).isEmpty())
        return { Kind::Choice, 1, type == ParamTypeString || type == ParamTypePath };
    switch (type)
    {
        case ParamTypeInt:
        case ParamTypeEnum:
            return { Kind::Integer };
        case ParamTypeDouble:
            return { Kind::Real };
        case ParamTypeVector:
            if (const int n = componentCount(valueText); n > 0)
                return { Kind::Real, n };
            return { Kind::Text };
        default:
            return { Kind::Text };
    }
}

class CheckEditor final : public PropertyEditor
{
public:
    explicit CheckEditor(QWidget* parent) : PropertyEditor(new QCheckBox(parent))
    {
        keep(
          QObject::connect(box(), &QCheckBox::clicked, box(), [this](bool on) { edited(PropertyText::toText(on)); }));
    }

    void showValue(const std::string& valueText) override
    {
        bool on = false;
        if (PropertyText::fromText(valueText, on) && box()->isChecked() != on)
            QtHelpers::setSilent(box(), on);
    }

private:
    [[nodiscard]] QCheckBox* box() const { return static_cast<QCheckBox*>(widget()); }
};

class ChoiceEditor final : public PropertyEditor
{
public:
    ChoiceEditor(const QStringList& choices, bool byText, QWidget* parent)
      : PropertyEditor(new QComboBox(parent)), m_byText(byText)
    {
        combo()->addItems(choices);
        keep(QObject::connect(combo(), qOverload<int>(&QComboBox::activated), combo(),
                              [this](int index) {
                                  edited(m_byText ? combo()->itemText(index).toStdString()
                                                  : PropertyText::toText(index));
                              }));
    }

    void showValue(const std::string& valueText) override
    {
        int index = -1;
        if (m_byText)
            index = combo()->findText(QString::fromStdString(valueText));
        else if (!PropertyText::fromText(valueText, index) || index >= combo()->count())
            index = -1;
        if (combo()->currentIndex() != index)
            QtHelpers::setSilent(combo(), index);
    }

private:
    [[nodiscard]] QComboBox* combo() const { return static_cast<QComboBox*>(widget()); }
    bool m_byText;
};

class IntegerEditor final : public PropertyEditor
{
public:
    explicit IntegerEditor(QWidget* parent) : PropertyEditor(new QSpinBox(parent))
    {
        setCompactWidth(spin());
        keep(QObject::connect(spin(), qOverload<int>(&QSpinBox::valueChanged), spin(),
                              [this](int value) { edited(PropertyText::toText(value)); }));
    }

    [[nodiscard]] bool showsUnit() const override { return true; }

    void showValue(const std::string& valueText) override
    {
        int value = 0;
        if (PropertyText::fromText(valueText, value) && spin()->value() != value)
        {
            const QSignalBlocker blocker(spin());
            spin()->setValue(value);
        }
    }

    void applyAttributes(const Attributes& attributes, const QString& unit) override
    {
        const auto bound = [](std::optional<double> limit, double fallback, double (*round)(double))
        { return int(std::clamp(round(limit.value_or(fallback)), double(INT_MIN), double(INT_MAX))); };
        // A changed range may clamp the value; that is no edit of the user's.
        const QSignalBlocker blocker(spin());
        setSpinBox(spin(), bound(number(attributes, "min"), INT_MIN, std::ceil),
                   bound(number(attributes, "max"), INT_MAX, std::floor),
                   std::max(1, int(number(attributes, "step").value_or(1))), unit);
    }

private:
    [[nodiscard]] QSpinBox* spin() const { return static_cast<QSpinBox*>(widget()); }
};

/// One spin box for a double, or a row of them for the components of a vector.
class RealEditor final : public PropertyEditor
{
public:
    struct Spins
    {
        QWidget* widget;
        std::vector<QDoubleSpinBox*> spins;
    };

    /// The spin box itself for one component, else a row of spin boxes in a plain widget.
    static Spins makeSpins(int components, QWidget* parent)
    {
        QWidget* container = components == 1 ? nullptr : new QWidget(parent);
        QHBoxLayout* row = container ? new QHBoxLayout(container) : nullptr;
        if (row)
            row->setContentsMargins(0, 0, 0, 0);
        Spins result{ container, {} };
        for (int i = 0; i < components; ++i)
        {
            auto* spin = new QDoubleSpinBox(container ? container : parent);
            spin->setRange(-kDefaultDoubleBound, kDefaultDoubleBound);
            spin->setDecimals(kMinDecimals);
            if (container)
                spin->setButtonSymbols(QAbstractSpinBox::NoButtons); // three rows of arrows crowd a narrow dock
            setCompactWidth(spin);
            result.spins.push_back(spin);
            if (row)
                row->addWidget(spin, 1); // equal widths, whatever each shows
        }
        if (!container)
            result.widget = result.spins.front();
        return result;
    }

    explicit RealEditor(Spins spins) : PropertyEditor(spins.widget), m_spins(std::move(spins.spins))
    {
        for (QDoubleSpinBox* spin : m_spins)
            keep(QObject::connect(spin, qOverload<double>(&QDoubleSpinBox::valueChanged), spin,
                                  [this](double) { edited(valueText()); }));
    }

    [[nodiscard]] bool showsUnit() const override { return true; }

    void showValue(const std::string& valueText) override
    {
        std::vector<double> values(m_spins.size());
        if (!PropertyText::fromText(valueText, values.data(), int(values.size())))
            return;
        for (size_t i = 0; i < values.size(); ++i)
        {
            if (!m_fixedDecimals)
                setDecimals(std::max(m_decimals, decimalsFor(values[i])));
            if (m_spins[i]->value() != values[i])
            {
                const QSignalBlocker blocker(m_spins[i]);
                m_spins[i]->setValue(values[i]);
            }
        }
    }

    void applyAttributes(const Attributes& attributes, const QString& unit) override
    {
        const std::optional<double> decimals = number(attributes, "decimals");
        m_fixedDecimals = decimals.has_value();
        if (decimals)
            setDecimals(std::clamp(int(*decimals), 0, 10));
        const double min = number(attributes, "min").value_or(-kDefaultDoubleBound);
        const double max = number(attributes, "max").value_or(kDefaultDoubleBound);
        const double step = number(attributes, "step").value_or(defaultStep(min, max));
        for (QDoubleSpinBox* spin : m_spins)
        {
            const QSignalBlocker blocker(spin);
            setSpinBox(spin, min, max, step, unit);
        }
    }

private:
    /// A hundredth of a bounded range, rounded down to a power of ten; 1 when unbounded.
    static double defaultStep(double min, double max)
    {
        if (min <= -kDefaultDoubleBound || max >= kDefaultDoubleBound || max <= min)
            return 1.0;
        return std::pow(10.0, std::floor(std::log10(max - min)) - 2);
    }

    void setDecimals(int decimals)
    {
        if (decimals == m_decimals)
            return;
        m_decimals = decimals;
        for (QDoubleSpinBox* spin : m_spins)
        {
            const QSignalBlocker blocker(spin);
            spin->setDecimals(decimals);
        }
    }

    [[nodiscard]] std::string valueText() const
    {
        std::vector<double> values;
        for (const QDoubleSpinBox* spin : m_spins)
            values.push_back(spin->value());
        return values.size() == 1 ? PropertyText::toText(values.front())
                                  : PropertyText::toText(values.data(), int(values.size()));
    }

    std::vector<QDoubleSpinBox*> m_spins;
    int m_decimals = kMinDecimals;
    bool m_fixedDecimals = false;
};

class TextEditor final : public PropertyEditor
{
public:
    explicit TextEditor(QWidget* parent) : PropertyEditor(new QLineEdit(parent))
    {
        keep(QObject::connect(line(), &QLineEdit::textEdited, line(),
                              [this](const QString& text) { edited(text.toStdString()); }));
    }

    void showValue(const std::string& valueText) override
    {
        const QString text = QString::fromStdString(valueText);
        if (line()->text() != text)
        {
            const QSignalBlocker blocker(line());
            line()->setText(text);
        }
    }

private:
    [[nodiscard]] QLineEdit* line() const { return static_cast<QLineEdit*>(widget()); }
};
} // namespace

std::unique_ptr<PropertyEditor> PropertyEditor::create(int type, const std::string& valueText,
                                                       const Attributes& attributes, QWidget* parent)
{
    const Kind kind = classify(type, valueText, attributes);
    switch (kind.tag)
    {
        case Kind::Check:
            return std::make_unique<CheckEditor>(parent);
        case Kind::Choice:
            return std::make_unique<ChoiceEditor>(choices(attributes), kind.choiceByText, parent);
        case Kind::Integer:
            return std::make_unique<IntegerEditor>(parent);
        case Kind::Real:
            return std::make_unique<RealEditor>(RealEditor::makeSpins(kind.components, parent));
        case Kind::Text:
            break;
    }
    return std::make_unique<TextEditor>(parent);
}

std::string PropertyEditor::kindOf(int type, const std::string& valueText, const Attributes& attributes)
{
    const Kind kind = classify(type, valueText, attributes);
    std::string text = std::to_string(int(kind.tag)) + ':' + std::to_string(kind.components);
    if (kind.tag == Kind::Choice)
        text += (kind.choiceByText ? ":text:" : ":index:") + choices(attributes).join('\n').toStdString();
    return text;
}

PropertyEditor::PropertyEditor(QWidget* widget) : m_widget(widget) {}

PropertyEditor::~PropertyEditor()
{
    // The widget may be the sender of the edit that led here: cut its connections to this editor now and let
    // the event loop delete it.
    for (const QMetaObject::Connection& connection : m_connections)
        QObject::disconnect(connection);
    m_widget->hide();
    m_widget->deleteLater();
}

void PropertyEditor::applyAttributes(const Attributes&, const QString&) {}

void PropertyEditor::setToolTip(const QString& toolTip)
{
    m_widget->setToolTip(toolTip);
    for (QWidget* child : m_widget->findChildren<QWidget*>())
        child->setToolTip(toolTip);
}

void PropertyEditor::keep(QMetaObject::Connection connection)
{
    m_connections.push_back(std::move(connection));
}

void PropertyEditor::edited(const std::string& valueText)
{
    if (onEdited)
        onEdited(valueText);
}

} // namespace Kelvaros
