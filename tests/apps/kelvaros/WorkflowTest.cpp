#include <algorithm>
#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include <QAbstractButton>
#include <QComboBox>
#include <QDockWidget>
#include <QDoubleSpinBox>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWheelEvent>

#include <gtest/gtest.h>

#include "core/Log.h"
#include "gui/annotation/AnnotationModel.h"
#include "gui/annotation/PointCorrespondencesWidget.h"
#include "gui/annotation/ViewPosition.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/scene/GlPointBasedAnnotation.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/GlSliceView.h"
#include "gui/view/GlVolumeView.h"
#include "gui/view/ImageView3D.h"
#include "gui/view/ImageViewSlice.h"
#include "lib/RegistrationHistoryComponent.h"
#include "lib/SharedImageSet.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshIO.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "../../host/gui/GuiTestFixture.h"
#include "LogExpectation.h"
#include "MainWindow.h"
#include "TrackingPanel.h"
#include "WaitUntil.h"
#include "imageio/PhantomVolume.h"
#include "session/DataSources.h"

namespace Kelvaros
{
namespace
{

const TrackingSimulator::GroundTruth& truth()
{
    return SimulatedTrackingStream::groundTruth();
}

constexpr double kDegree = 3.14159265358979323846 / 180.0;

Eigen::Vector3d apply(const Eigen::Matrix4d& matrix, const Eigen::Vector3d& point)
{
    return (matrix * point.homogeneous()).head<3>();
}

template<typename Condition>
bool processEventsUntil(Condition condition, std::chrono::milliseconds timeout = std::chrono::seconds(10))
{
    return Testing::waitUntil([&] { return QCoreApplication::processEvents(), condition(); }, timeout);
}

/// What a reopened workspace must give back, read off the session as the user left it.
struct Session
{
    std::vector<std::pair<std::string, Data::Kind>> data;
    std::map<std::string, Eigen::Matrix4d> calibrations;
    Eigen::Matrix4d volumeMatrix = Eigen::Matrix4d::Zero();
    std::map<std::string, std::vector<Eigen::Vector3d>> annotations;
    std::vector<std::string> panels;
};

void expectSame(const Session& before, const Session& after)
{
    EXPECT_EQ(after.data, before.data);
    EXPECT_EQ(after.calibrations, before.calibrations);
    EXPECT_EQ(after.volumeMatrix, before.volumeMatrix) << "the registration";
    EXPECT_EQ(after.annotations, before.annotations);
    EXPECT_EQ(after.panels, before.panels);
}

/// The workbench driven as a user drives it, on the one simulated tracker started from the File menu: modal
/// dialogs are answered when they show, message boxes are noted and closed.
class WorkflowTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/with-display";
        openWindow();
        unanswered.start();
        dialogs.start(20);
        QObject::connect(&dialogs, &QTimer::timeout, [this] { answerModal(); });
    }
    void TearDown() override { window.reset(); }

    void openWindow()
    {
        window = std::make_unique<MainWindow>(false);
        window->setInteractive(false);
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    void answerModal()
    {
        QWidget* modal = QApplication::activeModalWidget();
        if (auto* box = qobject_cast<QMessageBox*>(modal))
        {
            boxes.push_back((box->text() + " " + box->informativeText()).toStdString());
            box->button(QMessageBox::Ok) ? box->button(QMessageBox::Ok)->click() : box->reject();
        }
        else if (modal && answer && answer(modal))
            answer = nullptr;
        else if (modal && unanswered.hasExpired(10000))
        {
            // A dialog nobody answers would block the test for good: it fails instead.
            boxes.push_back("unanswered " + std::string(modal->metaObject()->className()));
            modal->close();
        }
        if (!modal)
            unanswered.restart();
    }

    GuiApplicationController& app() const { return window->app(); }

    /// With KELVAROS_WORKFLOW_SHOTS naming a folder, the window as the user sees it at this step (the README's
    /// walkthrough is made of these).
    void shot(const QString& name, int settleMs = 100) const
    {
        const QString folder = qEnvironmentVariable("KELVAROS_WORKFLOW_SHOTS");
        if (folder.isEmpty())
            return;
        QTest::qWait(settleMs); // laid out and drawn as the screen shows it
        window->grab().save(folder + "/" + name + ".png");
    }

    void choose(const QString& menuTitle, const QString& entry)
    {
        for (QMenu* menu : window->menuBar()->findChildren<QMenu*>(QString(), Qt::FindDirectChildrenOnly))
            if (menu->title().remove('&') == menuTitle)
                for (QAction* action : menu->actions())
                    if (action->text().remove('&').startsWith(entry) && action->isEnabled())
                        return action->trigger();
        FAIL() << "no enabled entry " << entry.toStdString() << " in " << menuTitle.toStdString();
    }

    /// Chooses a menu entry that asks for a file, answering its dialog with `path`.
    void chooseFile(const QString& menuTitle, const QString& entry, const QString& path)
    {
        answerFileDialog(path);
        choose(menuTitle, entry);
        EXPECT_FALSE(answer) << "no file dialog showed";
    }

    /// The next file dialog is answered with `path`.
    void answerFileDialog(const QString& path)
    {
        answer = [path](QWidget* modal)
        {
            auto* dialog = qobject_cast<QFileDialog*>(modal);
            if (dialog)
            {
                // Typed in full, as selectFile would change the folder only later and the name land in the old.
                auto* name = dialog->findChild<QLineEdit*>("fileNameEdit");
                if (!name)
                    return false;
                name->setText(path);
                // Queued: a question the dialog asks on accepting must come up where the watcher can answer it.
                QMetaObject::invokeMethod(dialog, "accept", Qt::QueuedConnection);
            }
            return dialog != nullptr;
        };
    }

    /// The panel of that form in its dock, or null.
    QWidget* panel(const char* form) const
    {
        for (DefaultControllerDecorator* decorator : app().controllers())
            if (auto* found = decorator->findChild<QWidget*>(form))
                return found;
        return nullptr;
    }

    static void click(QWidget* parent, const char* name)
    {
        auto* button = parent ? parent->findChild<QAbstractButton*>(name) : nullptr;
        ASSERT_TRUE(button) << name;
        QTest::mouseClick(button, Qt::LeftButton);
    }
    static void pickInstrument(QWidget* parent, const char* comboName, const char* id)
    {
        auto* combo = parent->findChild<QComboBox*>(comboName);
        ASSERT_TRUE(combo) << comboName;
        const int index = combo->findData(QString(id));
        ASSERT_GE(index, 0) << id;
        combo->setCurrentIndex(index);
    }

    /// Switches the simulated hand in the Tracking panel by the keyboard and waits for its frames.
    void switchScenario(const QString& name)
    {
        auto* combo = window->trackingPanel().findChild<QComboBox*>("scenario");
        ASSERT_TRUE(combo && combo->findText(name) >= 0);
        for (int presses = 0; presses < 8 && stream->scenario.value() != name.toStdString(); ++presses)
            QTest::keyClick(combo, combo->findText(name) > combo->currentIndex() ? Qt::Key_Down : Qt::Key_Up);
        ASSERT_EQ(stream->scenario.value(), name.toStdString());
        ASSERT_TRUE(stream->waitUntilDelivered(stream->numDelivered() + 3));
    }

    /// Start, the motion for `ms`, Stop, in the wizard's current record step.
    void record(QWidget* wizard, const QString& scenario, int ms)
    {
        switchScenario(scenario);
        click(wizard, "startStopButton");
        QTest::qWait(ms);
        shot("2-recording-" + scenario);
        click(wizard, "startStopButton");
        ASSERT_TRUE(wizard->findChild<QPushButton*>("nextButton")->isVisibleTo(wizard)) << scenario.toStdString();
    }

    void calibrate(const char* tool)
    {
        choose("Streaming", "Tracking Tool Calibration");
        QWidget* wizard = panel("TrackingToolCalibrationWizard");
        ASSERT_TRUE(wizard);
        pickInstrument(wizard, "instrumentsComboBox", tool);
        click(wizard, "nextButton");
        // Two cone sweeps; a turn and a half about the needle less the overlap of first and last pose.
        record(wizard, "pivot", 8000);
        click(wizard, "nextButton");
        record(wizard, "spin", 2300);
        click(wizard, "nextButton");
        click(wizard, "nextButton");
        shot("3-verify");
        click(wizard, "nextButton"); // Finish
        ASSERT_TRUE(processEventsUntil([this] { return !panel("TrackingToolCalibrationWizard"); })) << tool;
    }

    /// Clicks a world point in the first slice view as a user does: Page Up / Page Down (a voxel a press) to the
    /// slice nearest to it, Ctrl+wheel to zoom in about it, a click on it, and zoomed out again.
    void clickInSliceView(const Eigen::Vector3d& world)
    {
        ImageViewSlice& axial = *window->display().viewSlice(0);
        ASSERT_FALSE(axial.sliceView().visibleVolumes().empty());
        const double spacing = axial.sliceView().visibleVolumes().front()->spacing().minCoeff();
        const auto along = [&axial, &world]
        {
            const Slice& slice = axial.sliceView().slice();
            return (world - slice.origin()).dot(slice.normal());
        };
        for (int press = 0; press < 1000 && std::abs(along()) > 0.5 * spacing; ++press)
            QTest::keyClick(&axial, along() > 0 ? Qt::Key_PageDown : Qt::Key_PageUp);
        ASSERT_LE(std::abs(along()), 0.5 * spacing);
        const auto shown = ViewPosition::shownAt(axial, world);
        ASSERT_TRUE(shown);
        const auto zoom = [&axial, at = *shown](int notches)
        {
            QWheelEvent wheel(at, axial.mapToGlobal(at.toPoint()), {}, { 0, 120 * notches }, Qt::NoButton,
                              Qt::ControlModifier, Qt::NoScrollPhase, false);
            QCoreApplication::sendEvent(&axial, &wheel);
        };
        zoom(20);
        QTest::mouseClick(&axial, Qt::LeftButton, {}, shown->toPoint());
        zoom(-20);
    }

    /// The latest frame the tracker delivered.
    int64_t latestFrame() const
    {
        int64_t latest = 0;
        for (const TrackingInstrument& instrument : stream->instruments())
            latest = std::max(latest, instrument.timestamp);
        return stream->frameForTimestamp(latest);
    }

    /// Waits until the pointer rests on the landmark with time to spare, then captures with the panel's button.
    void captureWhenTouched(PointCorrespondencesWidget& pairs, int landmark, int row)
    {
        const TrackingSimulator simulator = stream->simulator();
        const int spare = int(0.5 * simulator.settings().rateHz);
        const auto captured = [&]
        {
            const QTableWidgetItem* item = pairs.table()->item(row, PointCorrespondencesWidget::ColumnSecondPoint);
            return item && !item->text().isEmpty();
        };
        for (int attempt = 0; attempt < 3 && !captured(); ++attempt)
        {
            ASSERT_TRUE(processEventsUntil(
              [&]
              {
                  const int64_t frame = latestFrame();
                  return simulator.touchedLandmark(frame - 6) == landmark &&
                         simulator.touchedLandmark(frame + spare) == landmark;
              },
              std::chrono::seconds(20)))
              << "landmark " << landmark;
            QTest::mouseClick(pairs.addSecondButton(), Qt::LeftButton);
            // A sample in which the pointer was not seen well adds nothing; the next rest is waited for.
            processEventsUntil(captured, std::chrono::milliseconds(500));
        }
        ASSERT_TRUE(captured()) << "landmark " << landmark;
    }

    void registerPhantom(SharedImageSet& phantom)
    {
        choose("Registration", "Tracker-Volume Registration");
        QWidget* registration = panel("LiveTrackingPointRegistrationController");
        ASSERT_TRUE(registration);
        pickInstrument(registration, "comboBox_tool", "Pointer");
        // What these pairs can promise: each image point lies up to half a voxel off the slice it is clicked on, and
        // each tracked one carries the tracker's noise, about 0.6 mm together (the FRE says as much). Stated at the
        // default 0.5 mm, an ordinary run is now and then judged improbable, and the test fails on its warning.
        auto* expected = registration->findChild<QDoubleSpinBox*>("doubleSpinBox_fle");
        ASSERT_TRUE(expected);
        expected->selectAll();
        QTest::keyClicks(expected, "1.0");
        QTest::keyClick(expected, Qt::Key_Enter);
        auto* pairs = registration->findChild<PointCorrespondencesWidget*>();
        switchScenario("landmarks");
        // Pairs follow the tour from the landmark the pointer reaches next, image point then tracked point.
        const int count = int(truth().landmarks_Phantom.size());
        const int first = (stream->simulator().touchedLandmark(latestFrame()) + 1) % count;
        for (int row = 0; row < count; ++row)
        {
            const int landmark = (first + row) % count;
            QTest::mouseClick(pairs->addFirstButton(), Qt::LeftButton);
            clickInSliceView(
              apply(phantom.matrix() * phantomImageToPhantom.inverse(), truth().landmarks_Phantom[size_t(landmark)]));
            captureWhenTouched(*pairs, landmark, row);
            ASSERT_EQ(pairs->table()->rowCount(), row + 1);
        }
        click(registration, "pushButtonRegister");
    }

    /// The skin cut from the phantom, the pointer swept over it, the registration refined.
    void refineOnTheSkin()
    {
        choose("Registration", "Surface Refinement");
        QWidget* refinement = panel("SurfaceRefinementController");
        ASSERT_TRUE(refinement);
        pickInstrument(refinement, "tool", "Pointer");
        auto* threshold = refinement->findChild<QDoubleSpinBox*>("threshold");
        threshold->selectAll();
        QTest::keyClicks(threshold, "-480");
        click(refinement, "extractSurface");
        switchScenario("sweep");
        click(refinement, "recordSweep");
        const auto* count = refinement->findChild<QLabel*>("sweepCount");
        ASSERT_TRUE(processEventsUntil([count] { return count->text().split(' ').front().toInt() >= 200; },
                                       std::chrono::seconds(30)))
          << count->text().toStdString();
        click(refinement, "recordSweep");
        // The phantom's skin is round: the fit fixes its position and says that it leaves the turn to the landmarks.
        const Testing::LogExpectation round(Log::Warning, "motions undetermined", 1);
        click(refinement, "refine");
        EXPECT_TRUE(refinement->findChild<QLabel*>("result")->text().startsWith("RMS distance"))
          << refinement->findChild<QLabel*>("result")->text().toStdString();
    }

    void planLineAndPath()
    {
        const Eigen::Vector3d entry = truth().pathEntry_Tracker, target = truth().pathTarget_Tracker;
        choose("Planning", "Plan Line");
        clickInSliceView(target);
        clickInSliceView(entry);
        choose("Planning", "Plan Path");
        for (const Eigen::Vector3d& point : std::vector<Eigen::Vector3d>{ entry, (entry + target) / 2.0, target })
            clickInSliceView(point);
        QTest::keyClick(window->display().viewSlice(0), Qt::Key_Return);
    }

    /// The first line the insertion read-out of the panel's embedded tool panel shows.
    QString bullseyeReadout() const
    {
        QWidget* bullseye = panel("BullseyeVisualizationController");
        for (QWidget* child : bullseye ? bullseye->findChildren<QWidget*>() : QList<QWidget*>())
            if (child->inherits("Kelvaros::InsertionReadoutWidget"))
                return child->findChildren<QLabel*>().value(0) ? child->findChildren<QLabel*>()[0]->text() : QString();
        return {};
    }
    QString navigationReadout() const
    {
        QWidget* navigation = panel("ToolNavigationVisualizationController");
        for (QWidget* child : navigation ? navigation->findChildren<QWidget*>() : QList<QWidget*>())
            if (child->inherits("Kelvaros::ToolNavigationDistanceWidget"))
                return child->property("shownText").toString();
        return {};
    }

    /// Starts the tool panel embedded in a visualization panel on the needle.
    void startOnNeedle(QWidget* visualization)
    {
        auto* tool = visualization ? visualization->findChild<QWidget*>("ToolVisualizationController") : nullptr;
        ASSERT_TRUE(tool);
        pickInstrument(tool, "comboBox_tool", "Needle");
        click(tool, "pushButton_startStop");
    }

    void openGuidance()
    {
        choose("Visualization", "Bullseye Visualization");
        QWidget* bullseye = panel("BullseyeVisualizationController");
        ASSERT_TRUE(bullseye);
        auto* show = bullseye->findChild<QPushButton*>("pushButton_startStop", Qt::FindDirectChildrenOnly);
        ASSERT_TRUE(show);
        QTest::mouseClick(show, Qt::LeftButton);
        startOnNeedle(bullseye);
        choose("Visualization", "Navigation Visualization");
        QWidget* navigation = panel("ToolNavigationVisualizationController");
        ASSERT_TRUE(navigation);
        auto* paths = navigation->findChild<QComboBox*>("comboBox_splines");
        ASSERT_TRUE(paths && paths->findText("Path 1") >= 0);
        paths->setCurrentIndex(paths->findText("Path 1"));
        click(navigation, "pushButton_selectSpline");
        startOnNeedle(navigation);
    }

    /// A vessel of 4 mm radius 8 mm beside the middle of the planned path (the volume's image coordinates), and
    /// the breach warning on the needle's first 100 mm.
    void warnOfTheVessel(const SharedImageSet& phantom)
    {
        const Eigen::Vector3d middle = (truth().pathEntry_Tracker + truth().pathTarget_Tracker) / 2.0;
        const Eigen::Vector3d path = truth().pathTarget_Tracker - truth().pathEntry_Tracker;
        const Eigen::Vector3d beside = middle + 8.0 * path.unitOrthogonal();
        auto vessel = MeshCreator::createSphere(4.0, 32);
        Eigen::Matrix4d placement = Eigen::Matrix4d::Identity();
        placement.topRightCorner<3, 1>() = apply(phantom.matrix().inverse(), beside);
        vessel->transform(placement);
        const QString file = structures.filePath("Vessel.obj");
        ASSERT_TRUE(MeshIO::saveObj(*vessel, file.toStdString()));
        choose("Visualization", "Breach Warning");
        QWidget* breach = panel("BreachWarningController");
        ASSERT_TRUE(breach);
        pickInstrument(breach, "tool", "Needle");
        auto* length = breach->findChild<QDoubleSpinBox*>("needleLength");
        length->selectAll();
        QTest::keyClicks(length, "100");
        answerFileDialog(file);
        click(breach, "addStructure");
        EXPECT_FALSE(answer) << "no file dialog showed";
        const auto* reading = breach->findChild<QLabel*>("reading");
        EXPECT_TRUE(processEventsUntil(
          [reading] { return reading->text().startsWith("Vessel: ") || reading->text().startsWith("BREACH"); }))
          << reading->text().toStdString();
    }

    Session session() const
    {
        Session s;
        const DataList all = app().dataList();
        for (const Data* data : all.items())
        {
            s.data.emplace_back(data->name(), data->kind());
            if (const auto* calibrations = data->components().get<InstrumentCalibrationDataComponent>())
                for (const char* tool : { "Pointer", "Needle" })
                    if (const auto calibration = calibrations->calibration(tool))
                        s.calibrations[tool] = calibration->matrix;
        }
        for (const DefaultControllerDecorator* decorator : app().controllers())
            if (window->dockOf(decorator))
                s.panels.push_back(decorator->title().toStdString());
        const Data* volume = app().dataList().getFirst(Data::Kind::Volume);
        if (!volume)
            return s;
        s.volumeMatrix = volume->matrix();
        // The plan is what was drawn on the volume; the tool panels keep their own objects in the model too.
        for (const InteractiveObject* annotation : app().annotationModel().getAnnotations(volume))
            if (const auto* drawn = dynamic_cast<const GlPointBasedAnnotation*>(annotation->graphicsObject()))
                s.annotations[drawn->name()] = drawn->points();
        return s;
    }

    std::unique_ptr<MainWindow> window;
    SimulatedTrackingStream* stream = nullptr;
    Eigen::Matrix4d phantomImageToPhantom = Eigen::Matrix4d::Identity();
    QTimer dialogs;
    QElapsedTimer unanswered; // since no modal widget was up
    std::function<bool(QWidget*)> answer;
    /// Meshes the session reads, kept until the reopened window has read them again.
    QTemporaryDir structures;
    std::vector<std::string> boxes;
};

// Calibration, registration, planning and guidance on one simulated tracker whose hand is switched in its panel;
// the calibrations and the registration reach the demo report's limits against the simulator's truth, and the
// saved workspace brings the whole session back in a new window.
TEST_F(WorkflowTest, CalibrateRegisterPlanNavigateSaveAndReopen)
{
    choose("File", "Add Simulator's Phantom");
    auto* phantom = static_cast<SharedImageSet*>(app().dataList().getFirst(Data::Kind::Volume));
    ASSERT_TRUE(phantom);
    phantomImageToPhantom = phantom->matrix();
    answer = [](QWidget* modal)
    {
        auto* dialog = qobject_cast<QInputDialog*>(modal);
        if (dialog)
        {
            dialog->setTextValue("pivot");
            dialog->accept();
        }
        return dialog != nullptr;
    };
    choose("File", "Start Simulated Tracker");
    stream = dynamic_cast<SimulatedTrackingStream*>(app().dataList().getFirst(Data::Kind::TrackingStream));
    ASSERT_TRUE(stream && stream->waitUntilDelivered(3));
    ASSERT_EQ(window->trackingPanel().stream(), stream);
    shot("1-tracker");

    calibrate("Pointer");
    calibrate("Needle");
    const auto& calibrations = *stream->components().get<InstrumentCalibrationDataComponent>();
    const Eigen::Matrix4d pointer = calibrations.calibration("Pointer")->matrix;
    const Eigen::Matrix4d needle = calibrations.calibration("Needle")->matrix;
    EXPECT_LT((pointer.block<3, 1>(0, 3) - truth().tool("Pointer")->tipOffset_Tool).norm(), 1.0);
    EXPECT_LT((needle.block<3, 1>(0, 3) - truth().tool("Needle")->tipOffset_Tool).norm(), 1.0);
    const double cosine = -needle.block<3, 1>(0, 2).normalized().dot(truth().tool("Needle")->axis_Tool);
    EXPECT_LT(std::acos(std::min(1.0, cosine)) / kDegree, 2.0) << "needle axis, tip to grip";

    registerPhantom(*phantom);
    const auto history = phantom->components().getOrAdd<RegistrationHistoryComponent>().current();
    ASSERT_TRUE(history && history->provenance);
    EXPECT_LT(history->provenance->freMm, 1.0);
    const Eigen::Matrix4d phantomToTracker = phantom->matrix() * phantomImageToPhantom.inverse();
    const Eigen::Vector3d target = PhantomVolume::target_Phantom(truth());
    EXPECT_LT((apply(phantomToTracker, target) - apply(truth().phantomToTracker, target)).norm(), 2.0)
      << "target registration error";

    const auto* verdict = panel("LiveTrackingPointRegistrationController")->findChild<QLabel*>("label_verdict");
    ASSERT_TRUE(verdict && !verdict->text().isEmpty());
    EXPECT_TRUE(processEventsUntil([verdict] { return verdict->height() >= verdict->heightForWidth(verdict->width()); },
                                   std::chrono::seconds(1)))
      << "the verdict shows " << verdict->height() << " of its " << verdict->heightForWidth(verdict->width())
      << " pixels";
    shot("4-registered");
    refineOnTheSkin();
    const auto refined = phantom->components().getOrAdd<RegistrationHistoryComponent>().current();
    ASSERT_TRUE(refined && refined->provenance);
    EXPECT_EQ(refined->provenance->method, RegistrationHistoryComponent::kSurfaceMethod);
    const Eigen::Matrix4d refinedToTracker = phantom->matrix() * phantomImageToPhantom.inverse();
    EXPECT_LT((apply(refinedToTracker, target) - apply(truth().phantomToTracker, target)).norm(), 2.0)
      << "target registration error after the surface refinement";
    shot("4-refined");
    planLineAndPath();
    shot("5-planned");
    openGuidance();
    switchScenario("insertion");
    const auto figures = [](const QString& text)
    { return text.contains(QRegularExpression("\\d")) && !text.startsWith(QString::fromUtf8("\u2014")); };
    EXPECT_TRUE(processEventsUntil([&] { return figures(bullseyeReadout()) && figures(navigationReadout()); }))
      << "bullseye '" << bullseyeReadout().toStdString() << "', navigation '" << navigationReadout().toStdString()
      << "'";
    shot("6-guidance", 2500); // the needle half way in
    warnOfTheVessel(*phantom);
    shot("6-breach");

    QTemporaryDir folder;
    const QString saved = folder.filePath("session.kws"), resaved = folder.filePath("again.kws");
    chooseFile("File", "Save Workspace", saved);
    ASSERT_TRUE(QFile::exists(saved));
    const Session before = session();
    ASSERT_EQ(before.annotations.size(), 2u);
    ASSERT_EQ(before.panels.size(), 5u) << "registration, surface refinement, bullseye, navigation, breach warning";
    window->close();
    window.reset();
    openWindow();
    // What File > Open Workspace does with the file chosen; its dialog's own existence check sometimes asked back.
    window->openFile("workspace", saved);
    expectSame(before, session());
    const auto* reopened = static_cast<const SharedImageSet*>(app().dataList().getFirst(Data::Kind::Volume));
    EXPECT_LT(
      (window->display().view3D()->volumeView().camera().centre() - reopened->imageToWorld(Eigen::Vector3d::Zero()))
        .norm(),
      1.0)
      << "the 3D view looks at the registered volume";
    shot("7-reopened", 1500);
    chooseFile("File", "Save Workspace", resaved);
    QFile first(saved), second(resaved);
    ASSERT_TRUE(first.open(QIODevice::ReadOnly) && second.open(QIODevice::ReadOnly));
    EXPECT_EQ(first.readAll().toStdString(), second.readAll().toStdString());
    EXPECT_TRUE(boxes.empty()) << boxes.front();
}

} // namespace
} // namespace Kelvaros
