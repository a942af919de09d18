#pragma once

#include <map>
#include <string>
#include <vector>

#include <QObject>

#include "lib/DataList.h"

class QAction;
class QMenu;
class QMenuBar;

namespace Kelvaros
{

class ApplicationController;

/// The algorithm menus of the main window, built from the categories of every loaded factory: a category path
/// "Streaming;Combine Trackings" gives the menu "Streaming" with the entry "Combine Trackings" (more levels give
/// submenus). Hidden factories stay out. An entry is enabled while its algorithm fits the selected data or some
/// data it could be made on is in the application (one data object or two), so that a user who has selected
/// nothing, or the wrong thing, is offered the choices instead of a grey menu. Main thread only.
class AlgorithmMenus : public QObject
{
    Q_OBJECT

public:
    /// Adds the menus to the bar. The application is not owned and outlives this object.
    AlgorithmMenus(const ApplicationController& app, QMenuBar& bar);

    /// Enables the entries whose algorithm accepts the selection or has choices().
    void updateForSelection(const DataList& selection);
    /// The data of the application an algorithm could be made on: each data object, then each pair, that it
    /// accepts, in data list order.
    [[nodiscard]] std::vector<DataList> choices(const std::string& id) const;
    /// Whether the algorithm accepts exactly these data.
    [[nodiscard]] bool fits(const std::string& id, const DataList& data) const;
    /// The entry of an algorithm identifier, or null.
    [[nodiscard]] QAction* action(const std::string& id) const;
    /// Every entry by identifier.
    [[nodiscard]] const std::map<std::string, QAction*>& actions() const { return m_actions; }

signals:
    /// The user picked an entry.
    void algorithmChosen(const QString& id);

private:
    QMenu* menuFor(QMenuBar& bar, const std::string& category);

    const ApplicationController& m_app;
    std::map<std::string, QAction*> m_actions;
    std::map<std::string, QMenu*> m_menus; // by path prefix
};

} // namespace Kelvaros
