#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include "core/Properties.h"
#include "gui/controller/PropertyWidget.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "stream/sources/SimulatedTrackingStream.h"

#include "GuiTestFixture.h"
#include "LogExpectation.h"
#include "TrackingTestSupport.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/CombinedTrackingStreamController.h"
#include "streams/CreateStreamAlgorithm.h"
#include "streams/SmoothedTrackingStream.h"
#include "streams/SmoothedTrackingStreamController.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// A created stream and its panel, as the host builds them.
template<typename StreamClass, typename Panel>
struct Opened
{
    explicit Opened(const DataList& inputs) : algorithm(inputs)
    {
        algorithm.compute();
        panel.setDisplay(&display);
        panel.init();
    }
    QComboBox* combo(const char* name) { return panel.template findChild<QComboBox*>(name); }
    DisplayWidgetMulti display;
    CreateStreamAlgorithm<StreamClass> algorithm;
    Panel panel{ &algorithm };
};
using CombinedPanel = Opened<CombinedTrackingStream, CombinedTrackingStreamController>;
} // namespace

// Widgets only, no OpenGL: also runs on the offscreen platform (the ThreadSanitizer build).
struct StreamPanelsTest : ::testing::Test
{
    void SetUp() override { ASSERT_TRUE(QApplication::instance()) << "no display: run through scripts/with-display"; }
};

TEST_F(StreamPanelsTest, CombinedPanelComposesTwoSimulatedTrackers)
{
    SimulatedTrackingStream referenceTracker("Tracker A"), targetTracker("Tracker B");
    for (SimulatedTrackingStream* tracker : { &referenceTracker, &targetTracker })
    {
        tracker->noise = 0.0;
        tracker->dropoutProbability = 0.0;
        openAndStart(*tracker);
        ASSERT_TRUE(tracker->waitUntilDelivered(1));
    }
    CombinedPanel opened({ &referenceTracker, &targetTracker });
    SampleCollector output(*opened.panel.combinedStream());
    EXPECT_EQ(opened.combo("comboBoxPreStream")->currentText(), "Tracker A");
    EXPECT_EQ(opened.combo("comboBoxPostStream")->currentText(), "Tracker B");
    QComboBox* preInstrument = opened.combo("comboBoxPreInstrument");
    preInstrument->setCurrentIndex(preInstrument->findText("Reference", Qt::MatchStartsWith));
    QComboBox* postInstrument = opened.combo("comboBoxPostInstrument");
    postInstrument->setCurrentIndex(postInstrument->findText("Pointer", Qt::MatchStartsWith));
    QTest::mouseClick(opened.panel.findChild<QPushButton*>("pushButtonAddInstrument"), Qt::LeftButton);

    ASSERT_TRUE(QTest::qWaitFor([&] { return output.count() > 0; }));
    const TrackingInstrument relative = output.last()->instruments().at(0);
    EXPECT_EQ(relative.ID(), "relative-0");
    EXPECT_EQ(relative.name(), "Reference-Pointer");
    const int64_t frame = targetTracker.frameForTimestamp(relative.timestamp);
    const Eigen::Matrix4d expected = SimulatedTrackingStream::groundTruth().referenceToTracker.inverse() *
                                     targetTracker.simulator().truePose("Pointer", frame);
    EXPECT_LT(translationDifference(relative.matrix, expected), 1e-6);
    EXPECT_LT(rotationDifferenceDegrees(relative.matrix, expected), 1e-6);
    // The refresh that the new output queued keeps the user's choice.
    QCoreApplication::processEvents();
    EXPECT_TRUE(preInstrument->currentText().startsWith("Reference"));
}

TEST_F(StreamPanelsTest, CombinedPanelOverOneStreamOffersTwoInstrumentsAndForwardFlag)
{
    DriverStream tracker;
    tracker.publish({ instrument("a", pose({ 0, 0, 0 })), instrument("b", pose({ 1, 0, 0 })) });
    CombinedPanel opened({ &tracker });
    EXPECT_TRUE(opened.combo("comboBoxPreInstrument")->currentText().startsWith("a|"));
    EXPECT_TRUE(opened.combo("comboBoxPostInstrument")->currentText().startsWith("b|"));

    auto* forward = opened.panel.findChild<QCheckBox*>("checkBoxForwardTargetOnly");
    QTest::mouseClick(forward, Qt::LeftButton);
    EXPECT_TRUE(opened.panel.combinedStream()->isForwardWithoutCombination());
    opened.panel.combinedStream()->setForwardWithoutCombination(false);
    opened.panel.updateGui();
    EXPECT_FALSE(forward->isChecked());
}

TEST_F(StreamPanelsTest, SmoothingModeShowsItsFieldsLive)
{
    DriverStream tracker;
    Opened<SmoothedTrackingStream, SmoothedTrackingStreamController> opened({ &tracker });
    ASSERT_EQ(opened.panel.findChildren<PropertyWidget*>().size(), 1);
    PropertyWidget& properties = *opened.panel.propertyWidget();
    auto* mode = qobject_cast<QComboBox*>(properties.editor("smoothingMode"));
    for (const auto& [index, intervalShown, kalmanShown] :
         { std::tuple(1, true, false), std::tuple(0, false, false), std::tuple(2, false, true) })
    {
        mode->setCurrentIndex(index); // as the user picks it: written through to the stream
        emit mode->activated(index);
        EXPECT_TRUE(
          QTest::qWaitFor([&] { return properties.editor("smoothingInterval")->isHidden() != intervalShown; }))
          << "mode " << index;
        EXPECT_EQ(properties.editor("processSigma")->isHidden(), !kalmanShown) << "mode " << index;
    }
    // A preset sets the whole filter at once, as --preset does on the command line.
    mode->setCurrentIndex(0);
    emit mode->activated(0);
    auto* preset = opened.panel.findChild<QComboBox*>("comboBox_preset");
    ASSERT_NE(preset, nullptr);
    preset->setCurrentIndex(preset->findText("adaptive"));
    emit preset->activated(preset->currentIndex());
    Properties configuration;
    opened.algorithm.createdStream()->configuration(&configuration);
    EXPECT_EQ(configuration.paramOr("smoothingMode", -1), 2);
    EXPECT_TRUE(configuration.paramOr("adaptive", false));
}

// A creation that made no stream says why in its panel, in red.
TEST_F(StreamPanelsTest, PanelWithoutStreamSaysWhy)
{
    DriverStream first, second; // both named "Driver"
    LogExpectation error(Log::Error, "Could not instantiate a new Stream: two input streams are named 'Driver'", 1);
    CombinedPanel refused({ &first, &second });
    auto* why = refused.panel.findChild<QLabel*>("label_creationStatus");
    ASSERT_NE(why, nullptr);
    EXPECT_TRUE(why->isVisibleTo(&refused.panel));
    EXPECT_EQ(why->text(), "No stream was created: two input streams are named 'Driver'; a combination tells its "
                           "inputs apart by name, so select streams whose names differ.");
    EXPECT_TRUE(why->styleSheet().contains("rgb(180, 0, 0)"));
}
