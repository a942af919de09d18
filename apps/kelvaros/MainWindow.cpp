#include "MainWindow.h"

#include <algorithm>

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QSettings>
#include <QSpinBox>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>

#include "core/Log.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/tracking/GlTrackingStream.h"
#include "gui/view/CursorLink.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "gui/view/InteractionView3D.h"
#include "lib/AlgorithmController.h"
#include "lib/SharedImageSet.h"
#include "stream/StreamAlgorithmBase.h"
#include "stream/TrackingStream.h"
#include "stream/sources/TrackingSimulator.h"

#include "AlgorithmMenus.h"
#include "DataListWidget.h"
#include "DataRemoval.h"
#include "FileKind.h"
#include "LogWidget.h"
#include "RecordingDialog.h"
#include "TrackingPanel.h"
#include "TrackingStatusWidget.h"
#include "VolumeLayersWidget.h"
#include "VolumeLoadProgress.h"
#include "VolumeLoader.h"
#include "session/DataSources.h"
#include "session/MeshData.h"
#include "session/Workspace.h"

namespace Kelvaros
{

namespace
{
const int kMaxRecentFiles = 8;
const char* const kRecentKey = "recentFiles";
// How often the 3D view looks for tools to turn to while a stream has shown none yet.
constexpr int kToolWatchMs = 200;

/// The world box of the tools that the view draws (empty when no stream has shown any).
Eigen::AlignedBox3d toolBounds(const GlView& view)
{
    Eigen::AlignedBox3d box;
    for (const GlObject* object : view.objects())
        if (const auto* stream = dynamic_cast<const GlTrackingStream*>(object))
            box.extend(stream->bounds());
    return box;
}

/// The filters of the file dialogs, by kind.
QString filterOf(const QString& kind)
{
    if (kind == "volume")
        return QObject::tr("Volumes (*.nrrd *.nhdr *.nii *.nii.gz *.mha *.mhd *.dcm);;All files (*)");
    if (kind == "mesh")
        return QObject::tr("Meshes (*.obj *.stl *.ply);;All files (*)");
    if (kind == "workspace")
        return QObject::tr("Workspaces (*.kws *.xml);;All files (*)");
    return QObject::tr("Tracking recordings (*.mha *.csv);;All files (*)");
}
} // namespace

MainWindow::MainWindow(bool persistSettings)
  : m_persistSettings(persistSettings),
    m_display(new DisplayWidgetMulti(this)),
    m_app(std::make_unique<GuiApplicationController>(m_display)),
    m_sources(std::make_unique<DataSources>(*m_app)),
    m_workspace(std::make_unique<Workspace>(*m_app, *m_sources)),
    m_volumeLoader(std::make_unique<VolumeLoader>([](const std::string& path, Progress& progress)
                                                  { return DataSources::readVolume(path, &progress); })),
    m_toolWatch(new QTimer(this))
{
    setWindowTitle(tr("Kelvaros Workbench"));
    setObjectName("KelvarosWorkbench");
    setCentralWidget(m_display);
    new CursorLink(*m_display); // a child of the display
    setDockOptions(AnimatedDocks | AllowTabbedDocks);
    if (m_app->loadPlugins() == 0)
        Log::log(Log::Warning, "MainWindow", "No plug-in found next to the program or in KELVAROS_PLUGIN_PATH");

    buildFileMenu();
    buildViewMenu();
    buildPlanningMenu();
    m_algorithmMenus = new AlgorithmMenus(*m_app, *menuBar());
    connect(m_algorithmMenus, &AlgorithmMenus::algorithmChosen, this,
            [this](const QString& id) { onAlgorithmChosen(id.toStdString()); });
    buildDocks();
    buildLayersDock();

    m_app->signalDataAdded.connect(this, &MainWindow::onDataAdded);
    // What the menus offer depends on the data there are, not only on the selection.
    const auto updateMenus = [this](Data*)
    { QTimer::singleShot(0, this, [this] { m_algorithmMenus->updateForSelection(m_dataList->selection()); }); };
    m_app->signalDataAdded.connect(this, updateMenus);
    m_app->signalDataRemoved.connect(this, updateMenus);
    m_app->signalDataRemoved.connect(this, &MainWindow::onDataRemoved);
    connect(m_app.get(), &GuiApplicationController::controllerOpened, this, &MainWindow::dockPanel);
    connect(m_app.get(), &GuiApplicationController::controllerAboutToClose, this, &MainWindow::undockPanel);
    m_toolWatch->setInterval(kToolWatchMs);
    connect(m_toolWatch, &QTimer::timeout, this, &MainWindow::fitToToolsOnceSeen);

    m_app->setCloseConfirmation(
      [this](const AlgorithmController& panel, const std::string& loss)
      {
          return !m_interactive || QMessageBox::question(this, windowTitle(),
                                                         tr("Close %1? Its %2 will be lost.")
                                                           .arg(QString::fromStdString(panel.title()),
                                                                QString::fromStdString(loss))) == QMessageBox::Yes;
      });
    m_savedWorkspace = m_workspace->save().toXml();
    resize(1600, 1000);
    if (m_persistSettings)
    {
        QSettings settings;
        restoreGeometry(settings.value("geometry").toByteArray());
        restoreState(settings.value("windowState").toByteArray());
    }
}

MainWindow::~MainWindow()
{
    disconnectAll();
    // A load that finished now would add to what is being taken down.
    m_volumeLoader.reset();
    // The views draw the streams through objects that must not outlive them, and the data-removed handler that
    // would drop those is disconnected above: the views let go of every data object first.
    m_display->setVisibleData(DataList());
    // Panels, algorithms and data go while every widget that shows them still exists; the widgets go before the
    // application they watch.
    m_workspace->clear();
    qDeleteAll(findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly));
}

void MainWindow::buildFileMenu()
{
    QMenu* file = menuBar()->addMenu(tr("&File"));
    const auto openAction = [this, file](const QString& text, const QString& kind)
    {
        file->addAction(text, this,
                        [this, kind]
                        {
                            const QString path =
                              QFileDialog::getOpenFileName(this, QString(), QString(), filterOf(kind));
                            if (!path.isEmpty())
                                openFile(kind, path);
                        });
    };
    openAction(tr("Open &Volume..."), "volume");
    openAction(tr("Open &Mesh..."), "mesh");
    openAction(tr("Open Tracking &Recording..."), "recording");
    file->addSeparator();
    file->addAction(tr("&Connect OpenIGTLink Tracker..."), this, &MainWindow::onConnectOpenIGTLink);
    file->addAction(tr("Start &Simulated Tracker..."), this, &MainWindow::onStartSimulator);
    // The simulated tracker touches this phantom's landmarks and inserts into it: a user trying the workflow without
    // a real tracker needs both.
    file->addAction(tr("Add Simulator's P&hantom"), this,
                    [this]
                    {
                        if (const auto result = m_sources->addPhantom(); !result.ok())
                            report(result.error);
                    });
    openAction(tr("&Play Recording..."), "playback");
    file->addAction(tr("Record S&tream..."), this, &MainWindow::onRecordStream);
    file->addSeparator();
    file->addAction(tr("Save &Workspace..."), this, &MainWindow::onSaveWorkspace, QKeySequence::Save);
    openAction(tr("&Open Workspace..."), "workspace");
    m_recentMenu = file->addMenu(tr("Recent &Files"));
    rebuildRecentMenu();
    file->addSeparator();
    file->addAction(tr("&Quit"), this, &QWidget::close, QKeySequence::Quit);
}

void MainWindow::buildViewMenu()
{
    QMenu* view = menuBar()->addMenu(tr("&View"));
    view->addAction(tr("&Reset Views"), m_display, &DisplayWidgetMulti::resetViews, QKeySequence(tr("Ctrl+R")));
    view->addAction(tr("&Fit to Volume"), m_display, &DisplayWidgetMulti::fitToVolume,
                    QKeySequence(tr("Ctrl+Shift+F")));
    addToolActions(view);
    view->addSeparator();
    QAction* neurological = view->addAction(tr("&Neurological convention (left on left)"));
    neurological->setCheckable(true);
    // Anything stored but "neurological" means the radiological default.
    const QString key = QStringLiteral("views/displayConvention");
    const QString neurologicalValue = QStringLiteral("neurological");
    connect(neurological, &QAction::toggled, this,
            [this, key, neurologicalValue](bool on)
            {
                m_display->setDisplayConvention(on ? Slice::DisplayConvention::Neurological
                                                   : Slice::DisplayConvention::Radiological);
                if (m_persistSettings)
                    QSettings().setValue(key, on ? neurologicalValue : QStringLiteral("radiological"));
            });
    neurological->setChecked(m_persistSettings && QSettings().value(key).toString() == neurologicalValue);
}

void MainWindow::buildPlanningMenu()
{
    QMenu* planning = menuBar()->addMenu(tr("&Planning"));
    QToolBar* tools = addToolBar(tr("Planning"));
    tools->setObjectName("planningToolBar");
    AnnotationModel& annotations = m_app->annotationModel();
    const auto add = [planning, tools](QAction* action)
    {
        planning->addAction(action);
        tools->addAction(action);
        return action;
    };
    add(new QAction(tr("Plan &Line (target, then entry)"), this))->setShortcut(QKeySequence(tr("Ctrl+L")));
    connect(planning->actions().back(), &QAction::triggered, this, [this] { beginPlanning(false); });
    add(new QAction(tr("Plan &Path (points, double click ends)"), this))->setShortcut(QKeySequence(tr("Ctrl+Shift+L")));
    connect(planning->actions().back(), &QAction::triggered, this, [this] { beginPlanning(true); });
    planning->addSeparator();
    QAction* undo = add(new QAction(tr("&Undo"), this));
    undo->setShortcut(QKeySequence::Undo);
    connect(undo, &QAction::triggered, &annotations, &AnnotationModel::undo);
    QAction* redo = add(new QAction(tr("&Redo"), this));
    redo->setShortcut(QKeySequence::Redo);
    connect(redo, &QAction::triggered, &annotations, &AnnotationModel::redo);
    const auto updateHistory = [undo, redo, &annotations]
    {
        undo->setEnabled(annotations.canUndo());
        redo->setEnabled(annotations.canRedo());
    };
    connect(&annotations, &AnnotationModel::historyChanged, this, updateHistory);
    updateHistory();
    // Drawn annotations get names of their own: the panels that offer them list them by name.
    connect(&annotations, &AnnotationModel::drawingFinished, this,
            [this](InteractiveObject* drawn)
            {
                statusBar()->clearMessage();
                if (!drawn)
                    return;
                const bool path = dynamic_cast<GlSpline*>(drawn->graphicsObject()) != nullptr;
                drawn->graphicsObject()->setName(path ? tr("Path %1").arg(++m_plannedPaths).toStdString()
                                                      : tr("Line %1").arg(++m_plannedLines).toStdString());
            });
}

void MainWindow::beginPlanning(bool path)
{
    // Planned on the chosen volume (or the first one), so that it moves with the volume's registration.
    Data* volume = m_dataList->selection().getFirst(Data::Kind::Volume);
    if (!volume)
        volume = m_app->dataList().getFirst(Data::Kind::Volume);
    if (!volume)
        return report("Open a volume to plan on first.");
    AnnotationModel& annotations = m_app->annotationModel();
    if (path)
        annotations.beginSpline(volume);
    else
        annotations.beginLine(volume);
    statusBar()->showMessage(path ? tr("Click the path's points in any view, from the entry to the target; double "
                                       "click or Enter ends it, Escape cancels.")
                                  : tr("Click the target, then the entry point, in any view; Escape cancels."));
}

void MainWindow::buildDocks()
{
    m_dataList = new DataListWidget(*m_app);
    auto* dataDock = new QDockWidget(tr("Data"), this);
    dataDock->setObjectName("dataDock");
    dataDock->setWidget(m_dataList);
    addDockWidget(Qt::LeftDockWidgetArea, dataDock);
    connect(m_dataList, &DataListWidget::selectionChanged, m_algorithmMenus, &AlgorithmMenus::updateForSelection);
    connect(m_dataList, &DataListWidget::removeRequested, this, &MainWindow::removeData);

    // The log shares the left column with the data list, so the views keep the window's full height.
    m_log = new LogWidget;
    auto* logDock = new QDockWidget(tr("Log"), this);
    logDock->setObjectName("logDock");
    logDock->setWidget(m_log);
    addDockWidget(Qt::LeftDockWidgetArea, logDock);
    splitDockWidget(dataDock, logDock, Qt::Vertical);
    resizeDocks({ dataDock, logDock }, { 200, 660 }, Qt::Vertical);
    resizeDocks({ dataDock }, { 400 }, Qt::Horizontal);

    m_trackingStatus = new TrackingStatusWidget(*m_app);
    statusBar()->addPermanentWidget(m_trackingStatus, 1);
    statusBar()->addPermanentWidget(new VolumeLoadProgress(*m_volumeLoader));
}

Algorithm* MainWindow::openAlgorithm(const std::string& id, const DataList& data)
{
    Algorithm* algorithm = m_app->createAlgorithm(id, data);
    if (!algorithm)
    {
        report("The algorithm " + id + " does not fit the selected data (see the log).");
        return nullptr;
    }
    // A stream is what a stream-creating entry is chosen for: it is made at once and joins the data list, and its
    // panel shows the new stream or, when there is none, why.
    if (dynamic_cast<StreamAlgorithmBase*>(algorithm))
        m_app->runAlgorithm(algorithm);
    m_app->openController(algorithm);
    return algorithm;
}

void MainWindow::onAlgorithmChosen(const std::string& id)
{
    if (m_algorithmMenus->fits(id, m_dataList->selection()))
    {
        openAlgorithm(id, m_dataList->selection());
        return;
    }
    // The selection does not fit: the data it could be made on are offered, or taken when there is one choice.
    const std::vector<DataList> choices = m_algorithmMenus->choices(id);
    if (choices.empty())
        return report("Nothing in the data list fits " + id + ".");
    QStringList names;
    for (const DataList& choice : choices)
    {
        QStringList parts;
        for (const Data* data : choice.items())
            parts << QString::fromStdString(data->name());
        names << parts.join(" + ");
    }
    int chosen = 0;
    if (choices.size() > 1 && m_interactive)
    {
        bool ok = false;
        const QAction* action = m_algorithmMenus->action(id);
        const QString name = QInputDialog::getItem(this, action ? action->text() : QString::fromStdString(id),
                                                   tr("Make it on"), names, 0, false, &ok);
        if (!ok)
            return;
        chosen = int(names.indexOf(name));
    }
    m_dataList->select(choices[size_t(chosen)]);
    openAlgorithm(id, choices[size_t(chosen)]);
}

void MainWindow::buildLayersDock()
{
    auto* layers = new VolumeLayersWidget(*m_app);
    auto* dock = new QDockWidget(tr("Layers"), this);
    dock->setObjectName("layersDock");
    dock->setWidget(layers);
    addDockWidget(Qt::LeftDockWidgetArea, dock);
    m_trackingPanel = new TrackingPanel(*m_app, [this](TrackingStream& stream) { recordStream(stream); });
    auto* trackingDock = new QDockWidget(tr("Tracking"), this);
    trackingDock->setObjectName("trackingDock");
    trackingDock->setWidget(m_trackingPanel);
    tabifyDockWidget(dock, trackingDock);
    // A tracking stream chosen in the data list is the one its panel shows.
    connect(m_dataList, &DataListWidget::selectionChanged, this,
            [this, trackingDock](const DataList& selection)
            {
                if (auto* stream = dynamic_cast<TrackingStream*>(selection.getFirst(Data::Kind::TrackingStream)))
                {
                    m_trackingPanel->showStream(stream);
                    trackingDock->raise();
                }
            });
    connect(layers, &VolumeLayersWidget::selectedVolumeChanged, this,
            [this](SharedImageSet* volume)
            {
                for (InteractiveView* view : m_display->views())
                    if (auto* slice = dynamic_cast<ImageViewSlice*>(view))
                        slice->sliceView().setAdjustedVolume(volume);
            });
    // Volumes and streams keep their visibility in their display options, which the views watch; a mesh is drawn
    // by its scene object here.
    connect(m_dataList, &DataListWidget::visibilityChanged, this,
            [this](Data* data, bool visible)
            {
                if (const auto found = m_meshes.find(data); found != m_meshes.end())
                    found->second->setVisible(visible);
                m_display->update();
            });
}

void MainWindow::dockPanel(DefaultControllerDecorator* decorator)
{
    auto* dock = new QDockWidget(decorator->title(), this);
    dock->setObjectName("panel " + decorator->title());
    // The decorator draws its own title and close button.
    dock->setTitleBarWidget(new QWidget(dock));
    dock->setWidget(decorator);
    QDockWidget* sibling = m_panelDocks.empty() ? nullptr : m_panelDocks.rbegin()->second;
    addDockWidget(Qt::RightDockWidgetArea, dock);
    if (sibling)
        tabifyDockWidget(sibling, dock);
    else
        resizeDocks({ dock }, { 380 }, Qt::Horizontal);
    dock->show();
    dock->raise();
    m_panelDocks[decorator] = dock;
}

void MainWindow::undockPanel(DefaultControllerDecorator* decorator)
{
    const auto found = m_panelDocks.find(decorator);
    if (found == m_panelDocks.end())
        return;
    // The application controller deletes the panel: hand it back before the dock goes.
    decorator->setParent(nullptr);
    delete found->second;
    m_panelDocks.erase(found);
}

QDockWidget* MainWindow::dockOf(const DefaultControllerDecorator* decorator) const
{
    const auto found = m_panelDocks.find(decorator);
    return found == m_panelDocks.end() ? nullptr : found->second;
}

void MainWindow::onDataAdded(Data* data)
{
    if (auto* mesh = dynamic_cast<MeshData*>(data))
    {
        auto object = std::make_unique<GlMesh>(mesh->mesh(), mesh->name());
        object->setMatrix(mesh->matrix());
        m_display->viewGroup(0)->addObject(object.get());
        m_meshes[data] = std::move(object);
    }
    if (dynamic_cast<TrackingStream*>(data))
        m_toolWatch->start();
    showData(nullptr);
}

void MainWindow::onDataRemoved(Data* data)
{
    if (const auto found = m_meshes.find(data); found != m_meshes.end())
    {
        m_display->viewGroup(0)->removeObject(found->second.get());
        m_meshes.erase(found);
    }
    showData(data);
}

void MainWindow::showData(const Data* leaving)
{
    DataList shown;
    const DataList all = m_app->dataList();
    for (Data* data : all.items())
        if (data != leaving)
            shown.add(data);
    m_display->setVisibleData(shown);
}

void MainWindow::fitToToolsOnceSeen()
{
    const GlVolumeView& view = m_display->view3D()->volumeView();
    // A volume placed the view; tools far from it are one Fit to Tools away.
    if (!view.visibleVolumes().empty() || !m_app->dataList().getFirst(Data::Kind::TrackingStream))
        return m_toolWatch->stop();
    if (toolBounds(view).isEmpty())
        return;
    m_toolWatch->stop();
    fitToTools();
}

void MainWindow::fitToTools()
{
    ImageView3D& view = *m_display->view3D();
    GlVolumeView& volumeView = view.volumeView();
    Eigen::AlignedBox3d box = toolBounds(volumeView);
    for (const SharedImageSet* volume : volumeView.visibleVolumes())
        box.extend(volume->worldBoundingBox());
    if (box.isEmpty())
        return;
    const Camera& camera = volumeView.camera();
    volumeView.showBox(box, camera.centre() - camera.position(), camera.upVector());
    view.interaction().setSceneCenter(box.center());
}

void MainWindow::addToolActions(QMenu* menu)
{
    // Unnamed: the workbench lists its named menu actions as algorithms.
    QAction* fit = menu->addAction(tr("Fit to &Tools"), this, &MainWindow::fitToTools);
    fit->setToolTip(tr("Turns the 3D view to every tracked tool and volume shown"));
}

void MainWindow::report(const std::string& error)
{
    Log::log(Log::Error, "MainWindow", error);
    if (m_interactive)
        QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
}

void MainWindow::openFile(const QString& kind, const QString& path)
{
    const std::string file = path.toStdString();
    if (kind == "volume")
        return openVolumeInBackground(path);
    if (kind == "workspace")
        return openWorkspace(path);
    const DataSources::Result result = kind == "mesh"       ? m_sources->openMesh(file)
                                       : kind == "playback" ? m_sources->playRecording(file)
                                                            : m_sources->openRecording(file);
    if (!result.ok())
        report(result.error);
    if (!result.data.empty())
        addRecentFile(kind, path);
}

void MainWindow::removeData(const DataList& data)
{
    for (Data* item : data.items())
    {
        // An earlier item may have taken this one with it (a stream derived from it).
        const std::vector<Data*> present = m_app->dataList().items();
        if (std::find(present.begin(), present.end(), item) == present.end())
            continue;
        DataRemoval removal(*m_app, *item);
        const QString question = QString::fromStdString(removal.question());
        if (!question.isEmpty() && m_interactive &&
            QMessageBox::question(this, windowTitle(), question) != QMessageBox::Yes)
            continue;
        removal.run();
    }
}

void MainWindow::openFiles(const QStringList& paths)
{
    for (const QString& path : paths)
    {
        std::string why;
        const std::string kind = FileKind::of(path.toStdString(), &why);
        if (kind.empty())
            report(why);
        else
            openFile(QString::fromStdString(kind), path);
    }
}

void MainWindow::openVolumeInBackground(const QString& path)
{
    m_volumeLoader->load(path.toStdString(),
                         [this, path](const std::string& file, VolumeIO::LoadResult loaded)
                         {
                             const DataSources::Result result = m_sources->addVolume(file, std::move(loaded));
                             if (!result.ok())
                                 return report(result.error);
                             addRecentFile("volume", path);
                         });
}

void MainWindow::openWorkspace(const QString& path)
{
    if (!mayDiscardWorkspace())
        return;
    const std::string file = path.toStdString();
    std::shared_ptr<const Properties> workspace = Properties::loadFromXmlFile(file);
    if (!workspace)
        return report("The workspace '" + file + "' cannot be read (see the log).");
    const auto replaceSession = [this, workspace, path, file]
    {
        const std::string error = m_workspace->load(*workspace, file);
        m_sources->forgetProvided();
        // The views were placed when the first volume arrived, before its registration was read: the 3D view
        // looked at where the volume was before it was registered, a metre from where it is.
        m_display->resetViews();
        if (!error.empty() && m_interactive)
            QMessageBox::warning(this, windowTitle(), QString::fromStdString(error));
        m_savedWorkspace = m_workspace->save().toXml();
        addRecentFile("workspace", path);
    };
    const std::vector<std::string> volumes = Workspace::volumeFiles(*workspace);
    if (volumes.empty())
        return replaceSession();
    // The session is replaced once every volume was read, or not at all when one of them is canceled.
    struct Opening
    {
        std::size_t remaining = 0;
        bool canceled = false;
    };
    auto opening = std::make_shared<Opening>(Opening{ volumes.size() });
    const auto settle = [this, opening, replaceSession, path]
    {
        if (--opening->remaining > 0)
            return;
        if (!opening->canceled)
            return replaceSession();
        m_sources->forgetProvided();
        statusBar()->showMessage(tr("Opening the workspace %1 was canceled; the session is as it was").arg(path), 5000);
    };
    for (const std::string& volume : volumes)
        m_volumeLoader->load(
          volume,
          [this, settle](const std::string& read, VolumeIO::LoadResult loaded)
          {
              m_sources->provideVolume(read, std::move(loaded));
              settle();
          },
          [opening, settle](const std::string&)
          {
              opening->canceled = true;
              settle();
          });
}

void MainWindow::addRecentFile(const QString& kind, const QString& path)
{
    if (!m_persistSettings)
        return;
    QSettings settings;
    QStringList recent = settings.value(kRecentKey).toStringList();
    const QString entry = kind + '\t' + QFileInfo(path).absoluteFilePath();
    recent.removeAll(entry);
    recent.prepend(entry);
    settings.setValue(kRecentKey, QStringList(recent.mid(0, kMaxRecentFiles)));
    rebuildRecentMenu();
}

void MainWindow::rebuildRecentMenu()
{
    m_recentMenu->clear();
    const QStringList recent = m_persistSettings ? QSettings().value(kRecentKey).toStringList() : QStringList();
    for (const QString& entry : recent)
    {
        const QString kind = entry.section('\t', 0, 0);
        const QString path = entry.section('\t', 1);
        m_recentMenu->addAction(QString("%1 (%2)").arg(QFileInfo(path).fileName(), kind), this,
                                [this, kind, path] { openFile(kind, path); });
    }
    m_recentMenu->setEnabled(!recent.isEmpty());
}

void MainWindow::onConnectOpenIGTLink()
{
    QDialog dialog(this);
    dialog.setWindowTitle(tr("Connect OpenIGTLink Tracker"));
    auto* host = new QLineEdit("127.0.0.1", &dialog);
    auto* port = new QSpinBox(&dialog);
    port->setRange(1, 65535);
    port->setValue(18944);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    auto* form = new QFormLayout(&dialog);
    form->addRow(tr("Host"), host);
    form->addRow(tr("Port"), port);
    form->addRow(buttons);
    if (dialog.exec() != QDialog::Accepted)
        return;
    const auto result = m_sources->connectOpenIGTLink(host->text().toStdString(), port->value());
    if (!result.ok())
        report(result.error);
}

void MainWindow::onStartSimulator()
{
    bool ok = false;
    QStringList scenarios;
    for (const std::string& name : TrackingSimulator::scenarioNames())
        scenarios << QString::fromStdString(name);
    const QString scenario = QInputDialog::getItem(this, tr("Start Simulated Tracker"), tr("Scenario"), scenarios,
                                                   scenarios.indexOf("insertion"), false, &ok);
    if (!ok)
        return;
    const auto result = m_sources->startSimulator(scenario.toStdString());
    if (!result.ok())
        report(result.error);
}

void MainWindow::onRecordStream()
{
    auto* stream = dynamic_cast<TrackingStream*>(m_dataList->selection().getFirst(Data::Kind::TrackingStream));
    if (!stream)
        stream = dynamic_cast<TrackingStream*>(m_app->dataList().getFirst(Data::Kind::TrackingStream));
    if (!stream)
        return report("There is no tracking stream to record: connect a tracker or start the simulator first.");
    recordStream(*stream);
}

void MainWindow::recordStream(TrackingStream& stream)
{
    const QString path = QFileDialog::getSaveFileName(this, tr("Record %1").arg(QString::fromStdString(stream.name())),
                                                      QString(), filterOf("recording"));
    if (path.isEmpty())
        return;
    auto* dialog = new RecordingDialog(*m_app, stream, path, this);
    dialog->show();
    dialog->start();
}

bool MainWindow::workspaceChanged() const
{
    return m_workspace->save().toXml() != m_savedWorkspace;
}

bool MainWindow::mayDiscardWorkspace()
{
    if (!m_interactive || !workspaceChanged())
        return true;
    const auto answer = QMessageBox::question(
      this, windowTitle(), tr("The workspace has changed since it was last saved. Save it first?"),
      QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    return answer == QMessageBox::Discard || (answer == QMessageBox::Save && onSaveWorkspace());
}

bool MainWindow::onSaveWorkspace()
{
    QString path = QFileDialog::getSaveFileName(this, tr("Save Workspace"), QString(), filterOf("workspace"));
    if (path.isEmpty())
        return false;
    // The Open dialog lists workspaces by their extension: a name without it would hide the file.
    const QString suffix = QFileInfo(path).suffix().toLower();
    if (suffix != "kws" && suffix != "xml")
        path += ".kws";
    std::string error;
    if (!m_workspace->saveToFile(path.toStdString(), &error))
    {
        report(error);
        return false;
    }
    m_savedWorkspace = m_workspace->save().toXml();
    addRecentFile("workspace", path);
    return true;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    if (!mayDiscardWorkspace())
        return event->ignore();
    m_volumeLoader->cancelAll();
    if (m_persistSettings)
    {
        QSettings settings;
        settings.setValue("geometry", saveGeometry());
        settings.setValue("windowState", saveState());
    }
    QMainWindow::closeEvent(event);
}

} // namespace Kelvaros
