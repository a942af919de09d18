#include <chrono>
#include <cmath>
#include <filesystem>
#include <set>
#include <thread>

#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QDoubleSpinBox>
#include <QFile>
#include <QListWidget>
#include <QMenuBar>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlPointBasedAnnotation.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/tracking/GlTrackingStream.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/Algorithm.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/RegistrationHistoryComponent.h"
#include "lib/SharedImageSet.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingSequence.h"
#include "stream/TrackingSnapshot.h"
#include "stream/io/TrackingSequenceFile.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "../../host/gui/GuiTestFixture.h"
#include "AlgorithmMenus.h"
#include "DataListWidget.h"
#include "DataRemoval.h"
#include "LogExpectation.h"
#include "LogWidget.h"
#include "MainWindow.h"
#include "RecordingDialog.h"
#include "TrackingPanel.h"
#include "TrackingStatusWidget.h"
#include "TrackingTestSupport.h"
#include "VolumeLayersWidget.h"
#include "VolumeLoader.h"
#include "WaitUntil.h"
#include "imageio/PhantomVolume.h"
#include "imageio/VolumeIO.h"
#include "session/DataSources.h"
#include "session/Workspace.h"

namespace Kelvaros
{
namespace
{

using Testing::LogExpectation;

class WorkbenchTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/test or xvfb-run";
        window = std::make_unique<MainWindow>(false);
        window->setInteractive(false);
    }
    void TearDown() override { window.reset(); }

    GuiApplicationController& app() { return window->app(); }

    std::unique_ptr<MainWindow> window;
};

std::set<std::string> enabledAlgorithms(const AlgorithmMenus& menus)
{
    std::set<std::string> enabled;
    for (const auto& [id, action] : menus.actions())
        if (action->isEnabled())
            enabled.insert(id.substr(id.find('.') + 1));
    return enabled;
}

TEST_F(WorkbenchTest, MenusListEveryAlgorithmUnderItsCategory)
{
    std::map<std::string, std::set<std::string>> entries;
    for (QMenu* menu : window->menuBar()->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly))
        for (QAction* action : menu->actions())
            if (!action->objectName().isEmpty())
                entries[menu->title().toStdString()].insert(action->text().toStdString());
    const std::map<std::string, std::set<std::string>> expected{
        { "Streaming",
          { "Combine Trackings", "Smoothed Live Tracking Stream", "Tool Calibration", "Tracking Tool Calibration" } },
        { "Registration", { "Surface Refinement", "Tracker-Volume Registration" } },
        { "Visualization",
          { "Breach Warning", "Bullseye Visualization", "Navigation Visualization", "Tool Visualization" } },
    };
    EXPECT_EQ(entries, expected);
}

TEST_F(WorkbenchTest, MenusOfferWhatTheDataFitAndMakeItOnTheSelectionOrTheOnlyChoice)
{
    Data* volume =
      app().addData(std::make_unique<SharedImageSet>("Volume", Eigen::Vector3i(8, 8, 8), Eigen::Vector3d(1, 1, 1)));
    QCoreApplication::processEvents();
    EXPECT_EQ(enabledAlgorithms(window->algorithmMenus()), std::set<std::string>()) << "nothing fits a volume alone";
    Data* stream = app().addData(std::make_unique<SimulatedTrackingStream>());
    Data* first = app().addData(std::make_unique<TrackingSequence>("first"));
    Data* second = app().addData(std::make_unique<TrackingSequence>("second"));
    const struct
    {
        DataList selection;
        std::set<std::string> fitting;
    } cases[] = {
        { { stream },
          { "CreateStreamCombinedTrackingStream", "CreateStreamSmoothedTrackingStream", "ToolNavigationVisualization",
            "ToolVisualization", "TrackingToolCalibrationWizardAlgorithm" } },
        { { volume }, {} },
        { { volume, stream },
          { "BreachWarning", "BullseyeVisualization", "LiveTrackingPointRegistration", "SurfaceRefinement",
            "ToolVisualization" } },
        { { first, second }, { "ToolCalibration" } },
        { {}, {} },
    };
    for (const auto& c : cases)
    {
        window->dataList().select(c.selection);
        EXPECT_EQ(window->dataList().selection().items(), c.selection.items());
        std::set<std::string> fitting;
        for (const auto& [id, action] : window->algorithmMenus().actions())
            if (window->algorithmMenus().fits(id, window->dataList().selection()))
                fitting.insert(id.substr(id.find('.') + 1));
        EXPECT_EQ(fitting, c.fitting) << c.selection.size() << " items";
    }
    // With nothing selected, an entry is still offered, and made on the one stream it fits.
    const std::string smoothed = "Navigation.CreateStreamSmoothedTrackingStream";
    EXPECT_EQ(window->algorithmMenus().choices(smoothed).size(), 1u);
    window->algorithmMenus().action(smoothed)->trigger();
    ASSERT_EQ(app().algorithms().size(), 1u);
    EXPECT_EQ(app().algorithms()[0]->factoryInfo().data.items(), std::vector<Data*>{ stream });
}

template<typename Condition>
bool processEventsUntil(Condition condition)
{
    return Testing::waitUntil(
      [&]
      {
          QCoreApplication::processEvents();
          return condition();
      });
}

// Two loads at once, one of a file that is no volume: the window's timers run meanwhile, the volume arrives, the
// other load says why it failed, and a window closed during a third load goes without waiting for it to be added.
TEST_F(WorkbenchTest, VolumesLoadWhileTheWindowKeepsRunning)
{
    QTemporaryDir folder;
    const QString good = folder.filePath("ct.nrrd"), bad = folder.filePath("bad.nrrd");
    ASSERT_EQ(VolumeIO::save(*PhantomVolume::create(SimulatedTrackingStream::groundTruth(), 0.75), good.toStdString()),
              "");
    QFile(bad).open(QIODevice::WriteOnly);
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&ticks] { ++ticks; });
    timer.start(1);
    LogExpectation failure(Log::Error, "bad.nrrd");
    window->openFile("volume", good);
    window->openFile("volume", bad);
    EXPECT_EQ(app().dataList().size(), 0) << "the files are read in the background";
    ASSERT_TRUE(processEventsUntil([&] { return window->volumeLoader().running().empty(); }));
    ASSERT_EQ(app().dataList().size(), 1);
    EXPECT_EQ(app().dataList()[0]->name(), "ct");
    EXPECT_GT(ticks, 2) << "the event loop ran while the volumes were read";
    // The texture uploaded by the worker is the one the views draw: the phantom's soft tissue at the axial view's
    // centre (top-right quadrant), white in its automatic window.
    const QImage drawn = window->display().renderToImage({ 400, 400 });
    EXPECT_GT(qGray(drawn.pixel(300, 100)), 200);
    window->openFile("volume", good);
    window.reset();
}

// A workspace's volumes are read in the background before the session is replaced, so the window runs meanwhile;
// when their reading is canceled the session stays as it was.
TEST_F(WorkbenchTest, WorkspaceVolumesLoadInTheBackgroundOrNotAtAll)
{
    QTemporaryDir folder;
    const QString volume = folder.filePath("ct.nrrd");
    ASSERT_EQ(
      VolumeIO::save(*PhantomVolume::create(SimulatedTrackingStream::groundTruth(), 0.75), volume.toStdString()), "");
    ASSERT_TRUE(window->sources().openVolume(volume.toStdString()).ok());
    ASSERT_TRUE(window->sources().startSimulator("pivot").ok());
    const std::string path = folder.filePath("session.kws").toStdString();
    std::string error;
    ASSERT_TRUE(window->workspace().saveToFile(path, &error)) << error;
    window->workspace().clear();
    ASSERT_TRUE(window->sources().addPhantom().ok());

    window->openFile("workspace", QString::fromStdString(path));
    EXPECT_EQ(window->volumeLoader().running().size(), 1u);
    window->volumeLoader().cancelAll();
    ASSERT_TRUE(processEventsUntil([&] { return window->volumeLoader().running().empty(); }));
    QCoreApplication::processEvents();
    ASSERT_EQ(app().dataList().size(), 1);
    EXPECT_EQ(app().dataList()[0]->name(), "Phantom") << "a canceled opening changes nothing";

    window->openFile("workspace", QString::fromStdString(path));
    EXPECT_EQ(app().dataList()[0]->name(), "Phantom") << "the session is replaced once the volume was read";
    ASSERT_TRUE(processEventsUntil([&] { return app().dataList().size() == 2; }));
    EXPECT_TRUE(app().dataList().getFirst(Data::Kind::Volume) && app().dataList().getFirst(Data::Kind::TrackingStream));
    EXPECT_FALSE(window->workspaceChanged());
}

// What a file named on the command line holds is told by its name, and a MetaImage file by its header: a tracking
// recording and a volume share the extension.
TEST_F(WorkbenchTest, CommandLineFilesOpenAsWhatTheyHold)
{
    QTemporaryDir folder;
    const QString volume = folder.filePath("ct.mha"), recording = folder.filePath("pivot.mha");
    ASSERT_EQ(VolumeIO::save(*PhantomVolume::create(SimulatedTrackingStream::groundTruth(), 2.0), volume.toStdString()),
              "");
    ASSERT_TRUE(TrackingSequenceFile::write(recording.toStdString(),
                                            { { 0, { Testing::instrument("P1", Testing::pose({ 1, 2, 3 })) } } }));
    const QString mesh = folder.filePath("tool.stl");
    QFile stl(mesh);
    ASSERT_TRUE(stl.open(QIODevice::WriteOnly));
    stl.write("solid t\nfacet normal 0 0 1\nouter loop\nvertex 0 0 0\nvertex 1 0 0\nvertex 0 1 0\nendloop\n"
              "endfacet\nendsolid t\n");
    stl.close();
    QFile(folder.filePath("notes.txt")).open(QIODevice::WriteOnly);
    LogExpectation unknown(Log::Error, "notes.txt: its name does not say what it holds", 1);
    LogExpectation missing(Log::Error, "absent.nrrd: ", 1);
    window->openFiles({ folder.filePath("notes.txt"), volume, recording, mesh, folder.filePath("absent.nrrd") });
    ASSERT_TRUE(processEventsUntil([&] { return window->volumeLoader().running().empty(); }));
    std::set<Data::Kind> kinds;
    for (size_t i = 0; i < app().dataList().size(); ++i)
        kinds.insert(app().dataList()[i]->kind());
    EXPECT_EQ(kinds, (std::set<Data::Kind>{ Data::Kind::Volume, Data::Kind::TrackingSequence, Data::Kind::Mesh }));
}

TEST_F(WorkbenchTest, TrackedToolsAreInTheThreeDViewWithoutAnyAlgorithm)
{
    window->show();
    const GlVolumeView& view = window->display().view3D()->volumeView();
    const auto inView = [&view](const Eigen::Vector3d& point)
    {
        const RenderInfo info = view.renderInfo({ 0, 0, 400, 300 });
        const Eigen::Vector4d clip = info.viewState.projection * info.viewState.modelView * point.homogeneous();
        return clip.w() > 0 && (clip.head<3>().array().abs() <= clip.w()).all();
    };
    const auto tips = [&view]
    {
        std::vector<Eigen::Vector3d> found;
        for (const GlObject* object : view.objects())
            if (const auto* stream = dynamic_cast<const GlTrackingStream*>(object))
                for (const auto& instrument : stream->instrumentPoses())
                    found.push_back(instrument.toolToWorld.topRightCorner<3, 1>());
        return found;
    };
    ASSERT_TRUE(window->sources().startSimulator("insertion").ok());
    // Without a volume the view turns to the tools once the tracker has shown them.
    EXPECT_TRUE(processEventsUntil([&] { return !tips().empty() && inView(tips().front()); }));
    // The phantom is not registered yet: it lies about 1.2 m from the tools, and the view centres on it.
    const auto phantom = window->sources().addPhantom();
    ASSERT_TRUE(phantom.ok());
    window->fitToTools();
    const Eigen::AlignedBox3d box = static_cast<SharedImageSet*>(phantom.data.front())->worldBoundingBox();
    for (const Eigen::Vector3d& point : tips())
        EXPECT_TRUE(inView(point)) << point.transpose();
    EXPECT_TRUE(inView(box.min()) && inView(box.max()));
}

TEST_F(WorkbenchTest, LogShowsTheChosenLevelsOnly)
{
    LogExpectation warning(Log::Warning, "probe warning", 1);
    Log::log(Log::Info, "Test", "probe info");
    Log::log(Log::Warning, "Test", "probe warning");
    window->log().setMinimumLevel(Log::Warning);
    EXPECT_TRUE(window->log().text().contains("[Warning] Test: probe warning"));
    EXPECT_FALSE(window->log().text().contains("probe info"));
    window->log().setMinimumLevel(Log::Info);
    EXPECT_TRUE(window->log().text().contains("probe info"));
}

TEST_F(WorkbenchTest, StatusShowsWhichInstrumentsTheTrackerSees)
{
    auto* stream = static_cast<Testing::DriverStream*>(app().addData(std::make_unique<Testing::DriverStream>()));
    stream->setName("Tracker");
    Testing::openAndStart(*stream);
    stream->publish({ Testing::instrument("Pointer", Eigen::Matrix4d::Identity()),
                      Testing::instrument("Needle", Eigen::Matrix4d::Identity(), 0.0, false) });
    window->trackingStatus().refresh();
    // The rate depends on the time between refreshes; the rest does not.
    const QString running = window->trackingStatus().summary();
    EXPECT_TRUE(running.startsWith("Tracker: Running ")) << running.toStdString();
    EXPECT_TRUE(running.endsWith(" Hz Pointer tool(seen) Needle tool(notSeen)")) << running.toStdString();
    stream->stop();
    window->trackingStatus().refresh();
    EXPECT_EQ(window->trackingStatus().summary(), "Tracker: Opened Pointer tool(notSeen) Needle tool(notSeen)");
    // With several trackers each is one entry, so that all stay readable.
    Testing::openAndStart(*stream);
    stream->publish({ Testing::instrument("Pointer", Eigen::Matrix4d::Identity()),
                      Testing::instrument("Needle", Eigen::Matrix4d::Identity(), 0.0, false) });
    app().addData(std::make_unique<Testing::DriverStream>())->setName("Second");
    window->trackingStatus().refresh();
    const QString brief = window->trackingStatus().summary();
    EXPECT_TRUE(QRegularExpression("^Tracker: Running \\d+ Hz 1/2\\(partlySeen\\) Second: Closed\\(notSeen\\)$")
                  .match(brief)
                  .hasMatch())
      << brief.toStdString();
}

// The rate is counted from when the status started watching the stream, not from its last refresh; a running stream
// whose samples stopped shows no rate and sees nothing, since its last sample says nothing of now.
// One simulated stream is switched from scenario to scenario in its panel, keeping its instruments and their
// calibrations, as one real tracker is used for calibration, registration and navigation in turn.
// Quit and Open ask before unsaved work is lost: the window knows whether the workspace changed since it was last
// saved or opened, and a running tracker alone does not change it.
TEST_F(WorkbenchTest, WorkspaceChangesAreKnownUntilSavedOrOpened)
{
    EXPECT_FALSE(window->workspaceChanged());
    ASSERT_TRUE(window->sources().startSimulator("pivot").ok());
    EXPECT_TRUE(window->workspaceChanged());
    QTemporaryDir folder;
    const std::string path = folder.filePath("session.kws").toStdString();
    std::string error;
    ASSERT_TRUE(window->workspace().saveToFile(path, &error)) << error;
    window->openFile("workspace", QString::fromStdString(path));
    EXPECT_FALSE(window->workspaceChanged());
    auto* stream = static_cast<SimulatedTrackingStream*>(app().dataList().getFirst(Data::Kind::TrackingStream));
    ASSERT_TRUE(stream && stream->waitUntilDelivered(stream->numDelivered() + 5));
    EXPECT_FALSE(window->workspaceChanged()) << "samples are not changes";
    stream->setName("Bench tracker");
    EXPECT_TRUE(window->workspaceChanged());
}

// A target line and a path are planned by clicks in the slice views, on the volume, named so that the panels can
// offer them, and undone from the same menu.
TEST_F(WorkbenchTest, PlanningDrawsNamedLinesAndPathsOnTheVolumeByClicks)
{
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    ASSERT_TRUE(window->sources().addPhantom().ok());
    Data* phantom = app().dataList().getFirst(Data::Kind::Volume);
    const auto trigger = [this](const QString& prefix)
    {
        for (QAction* action : window->findChildren<QAction*>())
            if (action->text().remove('&').startsWith(prefix) && action->isEnabled())
                return action->trigger();
        FAIL() << "no enabled action " << prefix.toStdString();
    };
    ImageViewSlice& axial = *window->display().viewSlice(0);
    const QPoint centre(axial.width() / 2, axial.height() / 2);
    trigger("Plan Line");
    QTest::mouseClick(&axial, Qt::LeftButton, {}, centre);
    QTest::mouseClick(&axial, Qt::LeftButton, {}, centre + QPoint(40, -30));
    trigger("Plan Path");
    for (const QPoint offset : { QPoint(-50, 0), QPoint(-20, 10), QPoint(0, 40) })
        QTest::mouseClick(&axial, Qt::LeftButton, {}, centre + offset);
    QTest::keyClick(&axial, Qt::Key_Return);

    AnnotationModel& annotations = app().annotationModel();
    const std::vector<InteractiveObject*> planned = annotations.getAnnotations(phantom);
    ASSERT_EQ(planned.size(), 2u);
    EXPECT_EQ(planned[0]->graphicsObject()->name(), "Line 1");
    EXPECT_EQ(planned[1]->graphicsObject()->name(), "Path 1");
    const auto* line = dynamic_cast<const GlPointBasedAnnotation*>(planned[0]->graphicsObject());
    ASSERT_TRUE(line);
    ASSERT_EQ(line->points().size(), 2u);
    const Slice& slice = axial.sliceView().slice();
    EXPECT_NEAR((line->points()[0] - slice.origin()).norm(), 0.0, 2.0 * axial.sliceView().mmPerPixel())
      << "the target first";
    trigger("Undo");
    EXPECT_EQ(annotations.getAnnotations(phantom).size(), 1u);
}

TEST_F(WorkbenchTest, TrackingPanelRunsAndSwitchesTheSimulatedTrackerItShows)
{
    window->show();
    ASSERT_TRUE(window->sources().startSimulator("pivot").ok());
    auto* stream = static_cast<SimulatedTrackingStream*>(app().dataList().getFirst(Data::Kind::TrackingStream));
    TrackingPanel& panel = window->trackingPanel();
    ASSERT_EQ(panel.stream(), stream);
    auto* scenario = panel.findChild<QComboBox*>("scenario");
    ASSERT_TRUE(scenario->isVisibleTo(&panel));
    scenario->setCurrentIndex(scenario->findText("spin"));
    Q_EMIT scenario->activated(scenario->currentIndex());
    EXPECT_EQ(stream->scenario.value(), "spin");
    EXPECT_EQ(app().dataList().size(), 1u) << "the same stream goes on";

    InstrumentCalibrationDataComponent::Provenance provenance;
    provenance.method = "pivot";
    provenance.predictedTipErrorMm = 0.3;
    stream->components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration(
      "Pointer", { Testing::pose({ 0, 0, -150 }), 0.1 }, provenance);
    ASSERT_TRUE(stream->waitUntilDelivered(stream->numDelivered() + 3));
    panel.refresh();
    auto* table = panel.findChild<QTableWidget*>();
    const auto row = [table](const QString& name)
    {
        for (int r = 0; r < table->rowCount(); ++r)
            if (table->item(r, 0)->text().startsWith(name))
                return r;
        return -1;
    };
    ASSERT_GE(row("Pointer"), 0);
    EXPECT_EQ(table->item(row("Pointer"), 3)->text(), "pivot, tip ±0.30 mm");
    EXPECT_EQ(table->item(row("Needle"), 3)->text(), "none");
    EXPECT_EQ(table->item(row("Reference"), 1)->text(), "seen");

    const auto click = [&panel](const QString& text)
    {
        for (QPushButton* button : panel.findChildren<QPushButton*>())
            if (button->text() == text)
                return QTest::mouseClick(button, Qt::LeftButton);
        FAIL() << "no button " << text.toStdString();
    };
    click("Pause");
    EXPECT_EQ(stream->state(), Stream::State::Paused);
    click("Resume");
    EXPECT_EQ(stream->state(), Stream::State::Running);
    click("Stop");
    EXPECT_EQ(stream->state(), Stream::State::Opened);
    panel.refresh();
    EXPECT_EQ(table->item(row("Reference"), 1)->text(), "not seen") << "a stopped tracker sees nothing";
}

TEST_F(WorkbenchTest, StatusRateCountsFromTheStreamsArrivalAndStopsWithItsSamples)
{
    using Clock = std::chrono::steady_clock;
    window->trackingStatus().refresh();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const auto added = Clock::now();
    auto* stream = static_cast<Testing::DriverStream*>(app().addData(std::make_unique<Testing::DriverStream>()));
    stream->setName("Tracker");
    Testing::openAndStart(*stream);
    for (int i = 0; i < 30; ++i)
        stream->publish({ Testing::instrument("Pointer", Eigen::Matrix4d::Identity()) });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    window->trackingStatus().refresh();
    const double seconds = std::chrono::duration<double>(Clock::now() - added).count();
    const QRegularExpressionMatch rate =
      QRegularExpression("Running (\\d+) Hz Pointer tool\\(seen\\)").match(window->trackingStatus().summary());
    ASSERT_TRUE(rate.hasMatch()) << window->trackingStatus().summary().toStdString();
    EXPECT_GE(rate.captured(1).toDouble(), std::floor(30 / seconds)) << "30 samples since the stream came";

    std::this_thread::sleep_for(kTrackingStaleAfter + std::chrono::milliseconds(50));
    window->trackingStatus().refresh();
    EXPECT_EQ(window->trackingStatus().summary(), "Tracker: Running, no data Pointer tool(notSeen)");
}

// A stream entry of the menu is chosen for its stream: it is made at once and joins the data list.
// The Layers panel and the Data list's box drive the chosen volume's options, and the views redraw at once.
TEST_F(WorkbenchTest, LayersPanelAndDataListChangeTheVolumeTheViewsDraw)
{
    auto* volume = static_cast<SharedImageSet*>(
      app().addData(std::make_unique<SharedImageSet>("Volume", Eigen::Vector3i(8, 8, 8), Eigen::Vector3d(4, 4, 4))));
    for (size_t i = 0; i < volume->voxels().size(); ++i)
        volume->voxels()[i] = float(i % 8);
    window->showAllData();
    const ImageDisplayOptionsComponent& options = ImageDisplayOptionsComponent::of(*volume);
    int redraws = 0;
    auto* slice = dynamic_cast<ImageViewSlice*>(window->display().views()[1]);
    const SignalConnection counting = slice->sliceView().signalRedrawNeeded.connect([&redraws] { ++redraws; });
    auto* layers = window->findChild<VolumeLayersWidget*>();
    ASSERT_TRUE(layers);
    EXPECT_EQ(layers->selectedVolume(), volume);
    const auto image = [this] { return window->display().renderToImage(QSize(160, 160)); };
    const QImage grey = image();

    QTest::keyClick(layers->findChild<QComboBox*>("colorMap"), Qt::Key_Down);
    EXPECT_EQ(options.colorMap(), ImageDisplayOptionsComponent::Hot);
    EXPECT_EQ(redraws, 1);
    EXPECT_NE(image(), grey);
    QTest::keyClick(layers->findChild<QSlider*>("opacity"), Qt::Key_PageDown);
    EXPECT_DOUBLE_EQ(options.opacity(), 0.9);
    auto* windowBox = layers->findChild<QDoubleSpinBox*>("window");
    windowBox->selectAll();
    QTest::keyClicks(windowBox, "3");
    QTest::keyClick(windowBox, Qt::Key_Return);
    EXPECT_EQ(std::pair(options.window(), slice->sliceView().window()), std::pair(3.0, 3.0));

    QTreeWidgetItem* item = window->dataList().topLevelItem(0);
    item->setCheckState(0, Qt::Unchecked);
    EXPECT_FALSE(options.visible());
    EXPECT_EQ(layers->findChild<QListWidget*>("layers")->item(0)->checkState(), Qt::Unchecked);
    EXPECT_EQ(redraws, 4);
}

TEST_F(WorkbenchTest, StreamEntryCreatesTheStream)
{
    Data* tracker = app().addData(std::make_unique<Testing::DriverStream>());
    window->dataList().select(DataList{ tracker });
    window->algorithmMenus().action("Navigation.CreateStreamSmoothedTrackingStream")->trigger();
    ASSERT_EQ(app().dataList().size(), 2u);
    EXPECT_EQ(static_cast<const Stream*>(app().dataList()[1])->state(), Stream::State::Running);
}

// A smoothed stream follows its input: removing the input takes it first, with the algorithm that made it, so
// nothing is left following a stream that went.
TEST_F(WorkbenchTest, RemovingAStreamTakesWhatWasMadeFromItAndNamesItFirst)
{
    Data* tracker = app().addData(std::make_unique<Testing::DriverStream>());
    window->dataList().select(DataList{ tracker });
    window->algorithmMenus().action("Navigation.CreateStreamSmoothedTrackingStream")->trigger();
    ASSERT_EQ(app().dataList().size(), 2u);
    Data* smoothed = app().dataList()[1];
    QTreeWidgetItem* item = window->dataList().topLevelItem(0);
    item->setText(0, "  Bench tracker ");
    EXPECT_EQ(tracker->name(), "Bench tracker");
    item->setText(0, "");
    EXPECT_EQ(tracker->name(), "Bench tracker") << "an empty name keeps the old one";

    const DataRemoval removal(app(), *tracker);
    EXPECT_EQ(removal.order(), (std::vector<Data*>{ smoothed, tracker }));
    EXPECT_NE(removal.question().find("'" + smoothed->name() + "'"), std::string::npos) << removal.question();
    EXPECT_EQ(DataRemoval(app(), *smoothed).order(), std::vector<Data*>{ smoothed });

    window->dataList().select(DataList{ tracker });
    window->dataList().setFocus();
    QTest::keyClick(&window->dataList(), Qt::Key_Delete);
    EXPECT_EQ(app().dataList().size(), 0u);
    EXPECT_TRUE(app().algorithms().empty());
}

TEST_F(WorkbenchTest, RecordingWritesWhatTheStreamDeliveredUntilStopped)
{
    QTemporaryDir folder;
    const QString path = folder.filePath("recording.mha");
    auto stream = window->sources().startSimulator("pivot");
    ASSERT_TRUE(stream.ok()) << stream.error;
    RecordingDialog dialog(app(), *static_cast<TrackingStream*>(stream.data.front()), path);
    ASSERT_TRUE(dialog.start());
    ASSERT_TRUE(Testing::waitUntil([&] { return dialog.written() >= 20; }));
    // Deleting the stream ends the recording with what was written.
    app().removeData(stream.data.front());
    const auto samples = TrackingSequenceFile::read(path.toStdString());
    ASSERT_TRUE(samples);
    EXPECT_EQ(int64_t(samples->size()), dialog.written());
}

/// A session with every kind of state a workspace carries: a volume file registered to a running simulator with a
/// calibrated instrument, an algorithm on both with its panel open, and a smoothed stream made by an algorithm.
class WorkspaceTest : public WorkbenchTest
{
protected:
    void SetUp() override
    {
        WorkbenchTest::SetUp();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(folder.isValid());
        volumePath = folder.filePath("phantom.nrrd").toStdString();
        ASSERT_EQ(VolumeIO::save(*PhantomVolume::create(SimulatedTrackingStream::groundTruth(), 4.0), volumePath), "");
        auto volume = window->sources().openVolume(volumePath);
        auto stream = window->sources().startSimulator("insertion");
        ASSERT_TRUE(volume.ok() && stream.ok());
        Eigen::Matrix4d registration = Eigen::Matrix4d::Identity();
        registration.block<3, 1>(0, 3) << 1.25, -2.5, 1.0 / 3.0;
        volume.data.front()->setMatrix(registration);
        RegistrationHistoryComponent::Provenance provenance;
        provenance.freMm = 1.0 / 3.0;
        volume.data.front()->components().getOrAdd<RegistrationHistoryComponent>().record(
          provenance, { Eigen::Matrix4d::Identity(), std::nullopt, std::nullopt },
          { registration, std::nullopt, std::nullopt });
        Eigen::Matrix4d calibration = Eigen::Matrix4d::Identity();
        calibration(2, 3) = 160.125;
        auto& calibrations = stream.data.front()->components().getOrAdd<InstrumentCalibrationDataComponent>();
        calibrations.setCalibration("Needle", { calibration, 0.25 }, kProvenance);
        calibrations.setPrevious("Needle",
                                 InstrumentCalibrationDataComponent::Entry{ { calibration, 0.5 }, std::nullopt });
        Algorithm* visualization =
          window->openAlgorithm("Navigation.ToolVisualization", DataList{ stream.data.front(), volume.data.front() });
        ASSERT_NE(visualization, nullptr);
        Properties target;
        target.setParam("trackingTargetId", std::string("Needle"));
        visualization->configure(&target);
        Algorithm* smoothing =
          app().createAlgorithm("Navigation.CreateStreamSmoothedTrackingStream", DataList{ stream.data.front() });
        ASSERT_NE(smoothing, nullptr);
        ASSERT_EQ(app().runAlgorithm(smoothing), Algorithm::Success);
        auto path = std::make_unique<GlSpline>("Path 1");
        path->setPoints({ { 1.0 / 3.0, -20, 5 }, { 4, 2.5, 1e-3 }, { 10, 7, -3.25 } });
        app().annotationModel().addAnnotation(std::make_unique<InteractiveObject>(std::move(path)),
                                              volume.data.front());
    }

    QTemporaryDir folder;
    std::string volumePath;
    /// An axis calibration has no pivot residuals: empty fields are saved too, beside its own figures.
    const InstrumentCalibrationDataComponent::Provenance kProvenance{
        "2026-12-07T06:12:31+01:00", "axis", 2, 1.0 / 3.0, {}, {}, {}, 1.0 / 7.0, 0.125, 481.5
    };
};

TEST_F(WorkspaceTest, SaveLoadSaveGivesTheSameBytes)
{
    const std::string saved = window->workspace().save().toXml();
    EXPECT_EQ(window->workspace().load(*Properties::fromXml(saved)), "");
    EXPECT_EQ(window->workspace().save().toXml(), saved);
    EXPECT_EQ(app().controllers().size(), 1u);
    EXPECT_EQ(app().dataList().size(), 3u);
    // What is written is what the objects hold, not a copy of the text read.
    EXPECT_NE(saved.find("160.125"), std::string::npos);
    EXPECT_NE(saved.find("Needle"), std::string::npos);
    const InstrumentCalibrationDataComponent* calibrations = nullptr;
    const DataList all = app().dataList();
    for (const Data* data : all.items())
        calibrations = calibrations ? calibrations : data->components().get<InstrumentCalibrationDataComponent>();
    ASSERT_NE(calibrations, nullptr);
    EXPECT_EQ(calibrations->provenance("Needle"), kProvenance);
    EXPECT_EQ(calibrations->previous("Needle")->calibration.value, 0.5);
    const auto* history = app()
                            .dataList()
                            .getImages(Data::Kind::Volume, Data::Modality::NA)
                            .at(0)
                            ->components()
                            .get<RegistrationHistoryComponent>();
    ASSERT_NE(history, nullptr);
    EXPECT_EQ(history->current()->provenance->freMm, 1.0 / 3.0);
    EXPECT_EQ(history->previous()->state.volumeMatrix, Eigen::Matrix4d::Identity());
    // The planned path comes back on its volume; one whose points cannot be read is named, the rest loads.
    const std::vector<InteractiveObject*> planned = app().annotationModel().getAnnotations();
    ASSERT_EQ(planned.size(), 1u);
    EXPECT_EQ(app().annotationModel().parentData(planned[0])->kind(), Data::Kind::Volume);
    std::string damaged = saved;
    for (int dropped = 0; dropped < 2; ++dropped)
    {
        const size_t point = damaged.find("<properties name=\"point\">");
        damaged.erase(point, damaged.find("</properties>", point) + 13 - point);
    }
    LogExpectation named(Log::Error, "the planned path 'Path 1' could not be read", 1);
    EXPECT_NE(window->workspace().load(*Properties::fromXml(damaged)).find("Path 1"), std::string::npos);
    EXPECT_TRUE(app().annotationModel().getAnnotations().empty());
}

// What a panel's own widgets hold (the navigation view's ring count and camera link) comes back with the panel.
TEST_F(WorkspaceTest, PanelSettingsComeBackWithThePanel)
{
    Data* stream = app().dataList().getFirst(Data::Kind::TrackingStream);
    Algorithm* navigation = window->openAlgorithm("Navigation.ToolNavigationVisualization", DataList{ stream });
    ASSERT_NE(navigation, nullptr);
    const auto panelWidget = [this]
    {
        for (DefaultControllerDecorator* decorator : app().controllers())
            if (decorator->findChild<QSpinBox*>("spinBox_number"))
                return decorator;
        return static_cast<DefaultControllerDecorator*>(nullptr);
    };
    ASSERT_NE(panelWidget(), nullptr);
    panelWidget()->findChild<QSpinBox*>("spinBox_number")->setValue(17);
    panelWidget()->findChild<QComboBox*>("comboBox_link")->setCurrentIndex(2);
    const std::string saved = window->workspace().save().toXml();
    EXPECT_NE(saved.find("\"ringsNumber\" value=\"17\""), std::string::npos);
    EXPECT_EQ(window->workspace().load(*Properties::fromXml(saved)), "");
    ASSERT_NE(panelWidget(), nullptr);
    EXPECT_EQ(panelWidget()->findChild<QSpinBox*>("spinBox_number")->value(), 17);
    EXPECT_EQ(panelWidget()->findChild<QComboBox*>("comboBox_link")->currentIndex(), 2);
}

TEST_F(WorkspaceTest, MovedVolumeLoadsTheRestAndNamesTheFile)
{
    const std::string path = folder.filePath("session.kws").toStdString();
    std::string error;
    ASSERT_TRUE(window->workspace().saveToFile(path, &error)) << error;
    ASSERT_TRUE(QFile::rename(QString::fromStdString(volumePath), folder.filePath("moved.nrrd")));
    LogExpectation once(Log::Error, volumePath, 1);
    const std::string message = window->workspace().loadFromFile(path);
    EXPECT_NE(message.find("'" + volumePath + "' does not exist"), std::string::npos) << message;
    // The stream and the smoothed stream made on it are back; the visualization needed the volume.
    EXPECT_EQ(app().dataList().size(), 2u);
    EXPECT_EQ(app().algorithms().size(), 1u);
    const auto* calibrations = app().dataList()[0]->components().get<InstrumentCalibrationDataComponent>();
    ASSERT_NE(calibrations, nullptr);
    EXPECT_EQ(calibrations->calibration("Needle")->value, 0.25);
}

TEST_F(WorkspaceTest, UnreadableNumbersAreNamedWithWhatWasDropped)
{
    Properties workspace = window->workspace().save();
    for (Properties* data : workspace.subPropertiesAll("data"))
    {
        // A number mangled by hand and a NaN that a broken writer left behind.
        Properties* calibrations = data->subProperties("calibrations");
        if (calibrations)
            calibrations->subProperties("instrument")->setParam("matrix", std::string("nan"));
        else
            data->setParam("matrix", std::string("1 0 0 1.25 0 1 0 -2.5 0 0 1 0.3x 0 0 0 1"));
    }
    LogExpectation once(Log::Error, "could not be read", 1);
    const std::string message = window->workspace().load(workspace);
    EXPECT_NE(message.find("the registration of 'phantom' ('1 0 0 1.25 0 1 0 -2.5 0 0 1 0.3x 0 0 0 1') could not be "
                           "read; it was dropped"),
              std::string::npos)
      << message;
    EXPECT_NE(message.find("the calibration of 'Needle'"), std::string::npos) << message;
    // Dropped means dropped: no identity calibration stands in for the one that was lost.
    const DataList all = app().dataList();
    for (const Data* data : all.items())
    {
        const auto* calibrations = data->components().get<InstrumentCalibrationDataComponent>();
        EXPECT_FALSE(calibrations && calibrations->calibration("Needle")) << data->name();
    }
    EXPECT_EQ(app().dataList().size(), 3u);
}

TEST_F(WorkspaceTest, MatricesThatAreNotRigidAreDroppedAndNotSavedBack)
{
    Properties workspace = window->workspace().save();
    Eigen::Matrix4d mirrored = Eigen::Matrix4d::Identity();
    mirrored.block<3, 1>(0, 0) << -1.0, 0.0, 0.0;
    mirrored(1, 3) = 125.0;
    for (Properties* data : workspace.subPropertiesAll("data"))
    {
        // A volume's own axes may be left-handed; a stream's registration and a calibration never are.
        Eigen::Matrix4d singular = Eigen::Matrix4d::Identity();
        singular(2, 2) = 0.0;
        data->setParam("matrix", data->subProperties("calibrations") ? singular : mirrored);
        if (Properties* calibrations = data->subProperties("calibrations"))
            calibrations->subProperties("instrument")
              ->setParam("matrix", std::string("1 0 0 0 0 1 0 0 0 0 1 2e7 0 0 0 1"));
    }
    LogExpectation once(Log::Error, "could not be read", 1);
    const std::string message = window->workspace().load(workspace);
    EXPECT_NE(message.find("the registration of 'Simulated Tracker'"), std::string::npos) << message;
    EXPECT_NE(message.find("the calibration of 'Needle' on"), std::string::npos) << message;
    EXPECT_EQ(message.find("phantom"), std::string::npos) << message;
    const std::string saved = window->workspace().save().toXml();
    EXPECT_EQ(saved.find("2e+07"), std::string::npos);
    EXPECT_EQ(saved.find("0 0 0 0 0 0 1"), std::string::npos) << "the singular matrix was written back";
    EXPECT_EQ(app().dataList().getImages(Data::Kind::Volume, Data::Modality::NA).at(0)->matrix(), mirrored);
}

TEST_F(WorkspaceTest, WorkspaceBeyondItsBoundsIsRefusedWholeBeforeLoading)
{
    // Sparse: the size is told without the bytes being written.
    const std::string big = folder.filePath("big.nrrd").toStdString();
    QFile(QString::fromStdString(big)).open(QIODevice::WriteOnly);
    std::filesystem::resize_file(big, 3LL << 30);
    Properties workspace = window->workspace().save();
    Properties copies = workspace;
    for (int i = 0; i < 2; ++i)
        workspace.addSubProperties(*copies.subProperties("data"))->subProperties("source")->setParam("path", big);
    for (int i = 0; i < 257; ++i)
        copies.addSubProperties("algorithm")->setParam("id", std::string("unknown"));
    const std::string path = folder.filePath("hostile.kws").toStdString();
    for (const Properties* hostile : { &workspace, &copies })
    {
        ASSERT_TRUE(hostile->saveToXmlFile(path));
        LogExpectation once(Log::Error, "The workspace '" + path + "'", 1);
        const std::string message = window->workspace().loadFromFile(path);
        EXPECT_NE(message.find("nothing was loaded"), std::string::npos) << message;
        EXPECT_EQ(app().dataList().size(), 3u) << "the session is left as it was";
    }
}

TEST(WorkbenchDemo, HeadlessRunWritesItsScreenshotsAndPasses)
{
    QTemporaryDir folder;
    QProcess demo;
    demo.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    demo.start(KELVAROS_WORKBENCH, { "--demo", "--screenshots", folder.path(), "--seconds", "2" });
    ASSERT_TRUE(demo.waitForFinished(180000));
    const QString report = demo.readAllStandardOutput();
    EXPECT_EQ(demo.exitCode(), 0) << report.toStdString();
    EXPECT_TRUE(report.contains("All estimates within their limits")) << report.toStdString();
    EXPECT_EQ(QDir(folder.path()).entryList({ "workbench-*.png", "navigation.png" }).size(), 4);
}

} // namespace
} // namespace Kelvaros
