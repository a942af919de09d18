#include "AlgorithmMenus.h"

#include <QMenu>
#include <QMenuBar>

#include "lib/ApplicationController.h"

namespace Kelvaros
{

AlgorithmMenus::AlgorithmMenus(const ApplicationController& app, QMenuBar& bar) : QObject(&bar), m_app(app)
{
    for (const auto& entry : m_app.algorithmDescriptors())
    {
        if (entry.factory->isHidden())
            continue;
        const auto* descriptor = entry.descriptor;
        QAction* action =
          menuFor(bar, descriptor->category)->addAction(QString::fromStdString(descriptor->displayName()));
        action->setObjectName(QString::fromStdString(descriptor->id));
        action->setEnabled(false);
        const QString id = QString::fromStdString(descriptor->id);
        connect(action, &QAction::triggered, this, [this, id] { Q_EMIT algorithmChosen(id); });
        m_actions[descriptor->id] = action;
    }
}

QMenu* AlgorithmMenus::menuFor(QMenuBar& bar, const std::string& category)
{
    // Every level but the last names a menu; the last is the entry itself.
    const auto last = category.rfind(';');
    const std::string path = last == std::string::npos ? std::string("Algorithms") : category.substr(0, last);
    if (auto found = m_menus.find(path); found != m_menus.end())
        return found->second;
    const auto parentEnd = path.rfind(';');
    const QString title = QString::fromStdString(parentEnd == std::string::npos ? path : path.substr(parentEnd + 1));
    QMenu* menu = parentEnd == std::string::npos ? bar.addMenu(title) : menuFor(bar, path)->addMenu(title);
    m_menus[path] = menu;
    return menu;
}

void AlgorithmMenus::updateForSelection(const DataList& selection)
{
    for (const auto& [id, action] : m_actions)
        action->setEnabled(fits(id, selection) || !choices(id).empty());
}

bool AlgorithmMenus::fits(const std::string& id, const DataList& data) const
{
    const auto entry = m_app.findAlgorithm(id);
    return entry.descriptor && !data.isEmpty() && entry.descriptor->isCompatible(data);
}

std::vector<DataList> AlgorithmMenus::choices(const std::string& id) const
{
    const std::vector<Data*> all = m_app.dataList().items();
    std::vector<DataList> found;
    for (Data* data : all)
        if (fits(id, DataList{ data }))
            found.push_back(DataList{ data });
    for (size_t i = 0; i < all.size(); ++i)
        for (size_t j = i + 1; j < all.size(); ++j)
            if (fits(id, DataList{ all[i], all[j] }))
                found.push_back(DataList{ all[i], all[j] });
    return found;
}

QAction* AlgorithmMenus::action(const std::string& id) const
{
    const auto found = m_actions.find(id);
    return found == m_actions.end() ? nullptr : found->second;
}

} // namespace Kelvaros
