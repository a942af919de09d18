#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include "core/Parameter.h"
#include "gui/controller/DefaultAlgorithmController.h"
#include "gui/controller/DefaultControllerDecorator.h"
#include "gui/controller/GuiApplicationController.h"
#include "gui/controller/PropertyWidget.h"
#include "gui/controller/QtHelpers.h"
#include "gui/controller/StreamControllerBase.h"
#include "lib/Algorithm.h"
#include "lib/SharedImageSet.h"
#include "stream/ManualTrackingStream.h"

#include "../GuiTestFixture.h"
#include "LogExpectation.h"

namespace Kelvaros
{
namespace
{
constexpr int kWaitMs = 10000;

class ControllerTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/with-display"; }
};

Data* addVolume(ApplicationController& app)
{
    return app.addData(std::make_unique<SharedImageSet>("volume", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1),
                                                        Data::Modality::CT));
}

class CountingAlgorithm : public Algorithm
{
public:
    void compute() override
    {
        ++runs;
        setStatus(Success);
    }
    Parameter<double> radius{ "radius", 10.0, this };
    int runs = 0;
};

TEST_F(ControllerTest, ComputeRunsTheComputeFunctionAndShowsItsStatus)
{
    CountingAlgorithm algorithm;
    DefaultAlgorithmController panel(&algorithm);
    panel.init();
    ASSERT_TRUE(panel.propertyWidget()->editor("radius"));
    QSignalSpy computed(&panel, &DefaultAlgorithmController::computed);

    QTest::mouseClick(panel.computeButton(), Qt::LeftButton);
    EXPECT_EQ(algorithm.runs, 1);
    EXPECT_EQ(panel.statusLabel()->text(), "Done");

    panel.setComputeFunction([](Algorithm*) { return 3; });
    QTest::mouseClick(panel.computeButton(), Qt::LeftButton);
    EXPECT_EQ(algorithm.runs, 1);
    EXPECT_TRUE(panel.statusLabel()->text().contains('3'));
    ASSERT_EQ(computed.count(), 2);
    EXPECT_EQ(computed.at(1).at(0).toInt(), 3);
}

TEST_F(ControllerTest, AlgorithmSignalsReachThePanelOnTheMainThread)
{
    struct Panel : DefaultAlgorithmController
    {
        using DefaultAlgorithmController::DefaultAlgorithmController;
        void onAlgorithmOutputChanged() override { heardOn.push_back(std::this_thread::get_id()); }
        std::vector<std::thread::id> heardOn;
    };
    CountingAlgorithm algorithm;
    Panel panel(&algorithm);
    GuiApplicationController::forwardAlgorithmSignals(panel);
    std::thread([&] { algorithm.signalOutputChanged.emitSignal(); }).join();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !panel.heardOn.empty(); }, kWaitMs));
    EXPECT_EQ(panel.heardOn, std::vector<std::thread::id>{ std::this_thread::get_id() });
}

/// Each way of closing an algorithm that has a panel deletes the panel first.
TEST_F(ControllerTest, PanelsCloseBeforeTheirAlgorithm)
{
    const std::function<void(GuiApplicationController&, DefaultControllerDecorator&)> closers[] = {
        [](auto&, DefaultControllerDecorator& frame) { QTest::mouseClick(frame.closeButton(), Qt::LeftButton); },
        [](GuiApplicationController& app, DefaultControllerDecorator& frame)
        { app.closeAlgorithm(frame.controller()->algorithm()); },
    };
    for (const auto& close : closers)
    {
        GuiApplicationController app(nullptr);
        ASSERT_TRUE(app.loadPlugin(TEST_PLUGIN_GOOD));
        Algorithm* watcher = app.createAlgorithm("Test.Watcher", DataList{ addVolume(app) });
        DefaultControllerDecorator* frame = app.openController(watcher);
        ASSERT_TRUE(frame);
        EXPECT_EQ(GuiApplicationController::of(*frame->controller()), &app);
        EXPECT_EQ(app.openController(watcher), frame);

        bool algorithmAliveAtPanelDeath = false;
        QObject::connect(dynamic_cast<QWidget*>(frame->controller()), &QObject::destroyed,
                         [&]
                         {
                             const auto open = app.algorithms();
                             algorithmAliveAtPanelDeath = std::find(open.begin(), open.end(), watcher) != open.end();
                         });
        QSignalSpy aboutToClose(&app, &GuiApplicationController::controllerAboutToClose);
        close(app, *frame);

        ASSERT_TRUE(QTest::qWaitFor([&] { return app.algorithms().empty(); }, kWaitMs));
        EXPECT_TRUE(algorithmAliveAtPanelDeath);
        EXPECT_EQ(aboutToClose.count(), 1);
        EXPECT_TRUE(app.controllers().empty());
    }
}

TEST_F(ControllerTest, PanelsThatAreNoWidgetsAreRefused)
{
    GuiApplicationController app(nullptr);
    ASSERT_TRUE(app.loadPlugin(TEST_PLUGIN_GOOD));
    Data* item = addVolume(app);
    Testing::LogExpectation refused(Log::Error, "is not a widget", 1);
    EXPECT_EQ(app.openController(app.createAlgorithm("Test.Threshold", DataList{ item })), nullptr);
}

TEST_F(ControllerTest, TitleOverrideReplacesTheControllersTitle)
{
    CountingAlgorithm algorithm;
    algorithm.setFactoryInfo({ "Test.Counting", "Counting", {} });
    auto* panel = new DefaultAlgorithmController(&algorithm);
    DefaultControllerDecorator frame(panel);
    EXPECT_EQ(frame.title(), "Counting");
    frame.setTitleOverride("Tool Visualization");
    EXPECT_EQ(frame.findChild<QLabel*>("label_title")->text(), "Tool Visualization");
}

TEST_F(ControllerTest, MainThreadCallsRunQueuedOnTheMainThreadUnlessCancelled)
{
    std::thread::id ranOn;
    std::shared_ptr<QtHelpers::MainThreadCall> call;
    std::thread([&] { call = QtHelpers::runOnMainThread([&] { ranOn = std::this_thread::get_id(); }); }).join();
    bool cancelledRan = false;
    const auto cancelled = QtHelpers::runOnMainThread([&] { cancelledRan = true; });
    cancelled->cancel();
    // Queued calls run in order: once this one is done, the cancelled one had its turn.
    const auto last = QtHelpers::runOnMainThread([] {});
    EXPECT_FALSE(last->isDone());

    ASSERT_TRUE(QTest::qWaitFor([&] { return last->isDone(); }, kWaitMs));
    EXPECT_TRUE(call->isDone());
    EXPECT_EQ(ranOn, std::this_thread::get_id());
    EXPECT_FALSE(cancelledRan);
}

TEST_F(ControllerTest, StreamsOfferTheirDefaultPanel)
{
    ManualTrackingStream stream("Tracker");
    ASSERT_TRUE(stream.open());
    std::unique_ptr<AlgorithmController> controller = stream.createDefaultStreamController();
    auto* panel = dynamic_cast<StreamControllerBase*>(controller.get());
    ASSERT_TRUE(panel);
    panel->init();
    EXPECT_EQ(panel->stream(), &stream);
    EXPECT_EQ(panel->title(), "Tracker");
    EXPECT_TRUE(panel->stateLabel()->text().contains("Opened"));
}

} // namespace
} // namespace Kelvaros
