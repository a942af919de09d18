#pragma once

#include <map>
#include <memory>
#include <string>

#include <QMainWindow>

#include "core/Signal.h"

class QDockWidget;
class QMenu;
class QTimer;

namespace Kelvaros
{

class Algorithm;
class AlgorithmMenus;
class Data;
class DataList;
class DataListWidget;
class DataSources;
class DefaultControllerDecorator;
class DisplayWidgetMulti;
class GlMesh;
class GuiApplicationController;
class LogWidget;
class TrackingPanel;
class TrackingStatusWidget;
class TrackingStream;
class VolumeLoader;
class Workspace;

/// The workbench: the four-view display in the middle, the data list on the left, one dock per open panel on the
/// right, the log below, the algorithm menus of every loaded plug-in and the tracking status at the bottom.
///
/// It loads the plug-ins found next to the program (and in KELVAROS_PLUGIN_PATH) when it is built. Window layout
/// and recent files persist in QSettings unless `persistSettings` is false (tests, the demo). Main thread only.
class MainWindow
  : public QMainWindow
  , public SignalReceiver
{
    Q_OBJECT

public:
    explicit MainWindow(bool persistSettings = true);
    ~MainWindow() override;

    [[nodiscard]] GuiApplicationController& app() const { return *m_app; }
    [[nodiscard]] DataSources& sources() const { return *m_sources; }
    [[nodiscard]] Workspace& workspace() const { return *m_workspace; }
    [[nodiscard]] DisplayWidgetMulti& display() const { return *m_display; }
    [[nodiscard]] AlgorithmMenus& algorithmMenus() const { return *m_algorithmMenus; }
    [[nodiscard]] DataListWidget& dataList() const { return *m_dataList; }
    [[nodiscard]] LogWidget& log() const { return *m_log; }
    [[nodiscard]] TrackingStatusWidget& trackingStatus() const { return *m_trackingStatus; }
    [[nodiscard]] TrackingPanel& trackingPanel() const { return *m_trackingPanel; }
    /// Reads the volumes that File > Open Volume and Recent Files open, in the background.
    [[nodiscard]] VolumeLoader& volumeLoader() const { return *m_volumeLoader; }

    /// Creates an algorithm on the data and opens its panel in a dock; null (the reason shown) when it fails. An
    /// algorithm that creates a stream is run first, so that its panel shows the stream or why there is none.
    Algorithm* openAlgorithm(const std::string& id, const DataList& data);
    /// A menu entry was chosen: made on the selection when it fits, else on the data the user picks from those
    /// it could be made on (without asking when there is one choice).
    void onAlgorithmChosen(const std::string& id);
    /// The dock that holds a panel, or null.
    [[nodiscard]] QDockWidget* dockOf(const DefaultControllerDecorator* decorator) const;

    /// Whether failures are told in message boxes (true) or only in the log (false, for unattended runs).
    void setInteractive(bool interactive) { m_interactive = interactive; }

    /// Remembers an opened file in the Recent Files menu; `kind` is volume, mesh, recording, playback or workspace.
    void addRecentFile(const QString& kind, const QString& path);
    /// Shows every data object in the views, centred on the first volume where it is now.
    void showAllData() { showData(nullptr); }
    /// Opens a file of a kind as the File menu does. A volume is read in the background: it joins the data list
    /// (or its failure is reported) later, from the event loop.
    void openFile(const QString& kind, const QString& path);
    /// Opens each file as what its name (and a MetaImage file's header) says it is, as the command line asks;
    /// a file that cannot be told or read is reported and the others are opened.
    void openFiles(const QStringList& paths);
    /// Whether the workspace differs from what was last saved or opened (or from the empty one at start).
    [[nodiscard]] bool workspaceChanged() const;
    /// Removes the data with the streams derived from them and the algorithms made on them, asking first (when
    /// interactive) when more than the data itself goes.
    void removeData(const DataList& data);

    /// Aims the 3D view so that every tracked tool and every volume shown are in view, keeping its direction.
    void fitToTools();
    /// Adds the actions on the tools' display (Fit to Tools) to a menu.
    void addToolActions(QMenu* menu);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildFileMenu();
    void buildViewMenu();
    void buildPlanningMenu();
    /// Starts drawing a target line or a path on the selected (or first) volume.
    void beginPlanning(bool path);
    void buildDocks();
    /// The Layers panel, and what hiding data in the Data list does to the views.
    void buildLayersDock();
    void rebuildRecentMenu();
    void report(const std::string& error);
    void onDataAdded(Data* data);
    void onDataRemoved(Data* data);
    void showData(const Data* leaving);
    /// Without a volume nothing else aims the 3D view: it turns to the tools once a stream first shows them.
    void fitToToolsOnceSeen();
    void openVolumeInBackground(const QString& path);
    /// Reads the workspace's volumes on the loader's workers first, then replaces the session by it.
    void openWorkspace(const QString& path);
    void dockPanel(DefaultControllerDecorator* decorator);
    void undockPanel(DefaultControllerDecorator* decorator);

    void onConnectOpenIGTLink();
    void onStartSimulator();
    void onRecordStream();
    /// Asks where to record the stream and records it with a dialog that shows progress.
    void recordStream(TrackingStream& stream);
    /// Asks where to save the workspace and saves it; false when the user cancelled or the file was not written.
    bool onSaveWorkspace();
    /// True when the workspace may be replaced or closed: it has not changed since it was last saved or opened,
    /// or the user saved or discarded it when asked.
    bool mayDiscardWorkspace();

    bool m_persistSettings;
    bool m_interactive = true;
    DisplayWidgetMulti* m_display;
    std::unique_ptr<GuiApplicationController> m_app;
    std::unique_ptr<DataSources> m_sources;
    std::unique_ptr<Workspace> m_workspace;
    AlgorithmMenus* m_algorithmMenus = nullptr;
    DataListWidget* m_dataList = nullptr;
    LogWidget* m_log = nullptr;
    TrackingStatusWidget* m_trackingStatus = nullptr;
    TrackingPanel* m_trackingPanel = nullptr;
    int m_plannedLines = 0; // lines and paths drawn, for their names
    int m_plannedPaths = 0;
    std::string m_savedWorkspace; // the workspace as last saved or opened, as XML
    QMenu* m_recentMenu = nullptr;
    std::map<const DefaultControllerDecorator*, QDockWidget*> m_panelDocks;
    std::map<const Data*, std::unique_ptr<GlMesh>> m_meshes;
    std::unique_ptr<VolumeLoader> m_volumeLoader;
    QTimer* m_toolWatch = nullptr;
};

} // namespace Kelvaros
