#pragma once

#include <map>
#include <string>

#include <QObject>

class QAction;
class QMenu;
class QMenuBar;

namespace Kelvaros
{

class ApplicationController;
class DataList;

/// The algorithm menus of the main window, built from the categories of every loaded factory: a category path
/// "Streaming;Combine Trackings" gives the menu "Streaming" with the entry "Combine Trackings" (more levels give
/// submenus). Hidden factories stay out. An entry is enabled only while its algorithm fits the selected data.
/// Main thread only.
class AlgorithmMenus : public QObject
{
    Q_OBJECT

public:
    /// Adds the menus to the bar. The application is not owned and outlives this object.
    AlgorithmMenus(const ApplicationController& app, QMenuBar& bar);

    /// Enables the entries whose algorithm accepts the data.
    void updateForSelection(const DataList& selection);
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
