#include "gui/controller/PropertyWidget.h"

#include <algorithm>
#include <utility>

#include <QGridLayout>
#include <QLabel>
#include <QRegularExpression>

#include "core/Configurable.h"
#include "core/ParameterBase.h"
#include "gui/controller/PropertyEditor.h"
#include "gui/controller/QtHelpers.h"

namespace Kelvaros
{

struct PropertyWidget::Row
{
    std::string key;
    std::string kind;
    QLabel* label = nullptr;
    std::unique_ptr<PropertyEditor> editor;
};

/// What a row shows, from a Properties entry or from the target's parameter.
struct PropertyWidget::Shown
{
    std::string label;
    std::map<std::string, std::string> attributes;
    std::string valueText;
};

namespace
{
/// Splits a trailing unit off a label: "Translation Error [mm]" gives "Translation Error" and " mm".
std::pair<QString, QString> splitUnit(const QString& label)
{
    static const QRegularExpression pattern(R"(^(.*\S)\s*[\(\[]([^()\[\]\s]{1,12})[\)\]]$)");
    const QRegularExpressionMatch match = pattern.match(label);
    if (!match.hasMatch())
        return { label, QString() };
    const QString unit = match.captured(2);
    const bool degrees = unit == "deg" || unit == "degree" || unit == "degrees";
    return { match.captured(1), degrees ? QStringLiteral("\u00b0") : ' ' + unit };
}

bool isSet(const std::map<std::string, std::string>& attributes, const char* key)
{
    const auto it = attributes.find(key);
    bool on = false;
    return it != attributes.end() && PropertyText::fromText(it->second, on) && on;
}

QString attributeText(const std::map<std::string, std::string>& attributes, const char* key)
{
    const auto it = attributes.find(key);
    return it == attributes.end() ? QString() : QString::fromStdString(it->second);
}
} // namespace

PropertyWidget::PropertyWidget(Configurable* target, QWidget* parent)
  : QWidget(parent), m_target(target), m_grid(new QGridLayout(this))
{
    m_grid->setContentsMargins(0, 0, 0, 0);
    m_grid->setColumnStretch(1, 1);
    m_target->signalParametersChanged.connect(&m_connections, [this](ParameterBase*) { onTargetChanged(); });
}

PropertyWidget::~PropertyWidget()
{
    m_connections.disconnectAll();
    std::lock_guard<std::mutex> lock(m_scheduleMutex);
    if (m_scheduledCall)
        m_scheduledCall->cancel();
}

void PropertyWidget::configure(const Properties& properties)
{
    if (QtHelpers::isMainThread() && m_writing == 0)
    {
        {
            // Anything handed over before is older than these.
            std::lock_guard<std::mutex> lock(m_scheduleMutex);
            m_scheduledProperties.reset();
        }
        configureNow(properties);
        return;
    }
    std::lock_guard<std::mutex> lock(m_scheduleMutex);
    m_scheduledProperties = properties;
    scheduleLocked();
}

QWidget* PropertyWidget::editor(const std::string& key) const
{
    const Row* row = findRow(key);
    return row ? row->editor->widget() : nullptr;
}

QLabel* PropertyWidget::label(const std::string& key) const
{
    const Row* row = findRow(key);
    return row ? row->label : nullptr;
}

void PropertyWidget::configureNow(const Properties& properties)
{
    std::vector<Row> rows;
    bool changed = false;
    for (const std::string& key : properties.params())
    {
        const Shown shown{ properties.paramLabel(key), Properties::parseAttributes(properties.paramAttributes(key)),
                           properties.paramText(key) };
        int type = properties.paramType(key);
        if (type == ParamTypeUnknown)
            type = m_target->parameter(key) ? m_target->parameter(key)->type() : int(ParamTypeString);
        const std::string kind = PropertyEditor::kindOf(type, shown.valueText, shown.attributes);

        Row row;
        const auto kept = std::find_if(m_rows.begin(), m_rows.end(),
                                       [&](const Row& r) { return r.editor && r.key == key && r.kind == kind; });
        if (kept != m_rows.end())
        {
            changed = changed || size_t(kept - m_rows.begin()) != rows.size();
            row = std::move(*kept);
        }
        else
        {
            changed = true;
            row = { key, kind, new QLabel(this),
                    PropertyEditor::create(type, shown.valueText, shown.attributes, this) };
            row.label->setObjectName(QString::fromStdString("label_" + key));
            row.label->setBuddy(row.editor->widget());
            row.editor->widget()->setObjectName(QString::fromStdString(key));
            row.editor->onEdited = [this, key](const std::string& valueText) { write(key, valueText); };
        }
        show(row, shown);
        rows.push_back(std::move(row));
    }
    for (Row& dropped : m_rows)
    {
        if (!dropped.editor)
            continue;
        changed = true;
        m_grid->removeWidget(dropped.label);
        m_grid->removeWidget(dropped.editor->widget());
        dropped.label->hide();
        dropped.label->deleteLater();
    }
    m_rows = std::move(rows);
    if (changed)
        layOut();
}

void PropertyWidget::refreshFromTarget()
{
    for (Row& row : m_rows)
        if (const ParameterBase* parameter = m_target->parameter(row.key))
            show(row, { parameter->label(), parameter->attributes(), parameter->valueText() });
}

void PropertyWidget::onTargetChanged()
{
    if (QtHelpers::isMainThread())
    {
        refreshFromTarget();
        return;
    }
    std::lock_guard<std::mutex> lock(m_scheduleMutex);
    scheduleLocked();
}

void PropertyWidget::scheduleLocked()
{
    if (!m_scheduledCall)
        m_scheduledCall = QtHelpers::runOnMainThread([this] { applyScheduled(); });
}

void PropertyWidget::applyScheduled()
{
    std::optional<Properties> properties;
    {
        std::lock_guard<std::mutex> lock(m_scheduleMutex);
        properties.swap(m_scheduledProperties);
        m_scheduledCall.reset();
    }
    if (properties)
        configureNow(*properties);
    // The values may have moved on since the properties were taken.
    refreshFromTarget();
}

void PropertyWidget::show(Row& row, const Shown& shown)
{
    const QString fullLabel = QString::fromStdString(shown.label.empty() ? row.key : shown.label);
    const auto [text, unit] = row.editor->showsUnit() ? splitUnit(fullLabel) : std::pair(fullLabel, QString());
    row.label->setText(text);
    const QString toolTip = attributeText(shown.attributes, "tooltip");
    row.label->setToolTip(toolTip);
    row.editor->setToolTip(toolTip);
    row.editor->applyAttributes(shown.attributes, unit);
    row.editor->showValue(shown.valueText);
    const bool hidden = isSet(shown.attributes, "hidden");
    row.label->setHidden(hidden);
    row.editor->widget()->setHidden(hidden);
}

void PropertyWidget::write(const std::string& key, const std::string& valueText)
{
    Properties one;
    one.setParam(key, valueText);
    ++m_writing;
    if (ParameterBase* parameter = m_target->parameter(key))
        parameter->readFrom(one);
    else
        m_target->configure(&one);
    --m_writing;
    emit edited();
}

void PropertyWidget::layOut()
{
    for (int i = 0; i < int(m_rows.size()); ++i)
    {
        m_grid->removeWidget(m_rows[size_t(i)].label);
        m_grid->removeWidget(m_rows[size_t(i)].editor->widget());
    }
    for (int i = 0; i < int(m_rows.size()); ++i)
    {
        m_grid->addWidget(m_rows[size_t(i)].label, i, 0);
        m_grid->addWidget(m_rows[size_t(i)].editor->widget(), i, 1);
    }
}

const PropertyWidget::Row* PropertyWidget::findRow(const std::string& key) const
{
    const auto it = std::find_if(m_rows.begin(), m_rows.end(), [&](const Row& r) { return r.key == key; });
    return it == m_rows.end() ? nullptr : &*it;
}

} // namespace Kelvaros
