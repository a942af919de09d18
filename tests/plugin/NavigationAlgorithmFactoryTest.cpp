// The plug-in's real algorithm table, as the host sees it: identifiers, menu categories and their order, which
// selections offer which algorithm, and the saved configuration of every algorithm, which stored workspaces rely on.

#include "NavigationAlgorithmFactory.h"

#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"
#include "stream/ManualTrackingStream.h"
#include "stream/StreamAlgorithmBase.h"
#include "stream/TrackingSequence.h"

using namespace Kelvaros;

namespace
{
struct Row
{
    std::string shortName;
    std::string category;
    std::string displayName;
};

// In registration order, which is the order of the host's menus.
const std::vector<Row> kRows = {
    { "BreachWarning", "Visualization;Breach Warning", "Breach Warning" },
    { "BullseyeVisualization", "Visualization;Bullseye Visualization", "Bullseye Visualization" },
    { "CreateStreamCombinedTrackingStream", "Streaming;Combine Trackings", "Combine Trackings" },
    { "LiveTrackingPointRegistration", "Registration;Tracker-Volume Registration", "Tracker-Volume Registration" },
    { "CreateStreamSmoothedTrackingStream", "Streaming;Smoothed Live Tracking Stream",
      "Smoothed Live Tracking Stream" },
    { "SurfaceRefinement", "Registration;Surface Refinement", "Surface Refinement" },
    { "ToolCalibration", "Streaming;Tool Calibration", "Tool Calibration" },
    { "ToolNavigationVisualization", "Visualization;Navigation Visualization", "Navigation Visualization" },
    { "ToolVisualization", "Visualization;Tool Visualization", "Tool Visualization" },
    { "TrackingToolCalibrationWizardAlgorithm", "Streaming;Tracking Tool Calibration", "Tracking Tool Calibration" },
};

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class NavigationAlgorithmTable : public ::testing::Test
{
protected:
    NavigationAlgorithmTable()
    {
        m_ct.setModality(Data::Modality::CT);
        m_selections = {
            { "nothing", {} },
            { "stream", { &m_stream } },
            { "two streams", { &m_stream, &m_other } },
            { "stream and volume", { &m_stream, &m_volume } },
            { "stream and CT", { &m_stream, &m_ct } },
            { "stream and two volumes", { &m_stream, &m_volume, &m_ct } },
            { "volume", { &m_volume } },
            { "sequence", { &m_sequence } },
            { "two sequences", { &m_sequence, &m_otherSequence } },
            { "three sequences", { &m_sequence, &m_otherSequence, &m_thirdSequence } },
        };
    }

    std::vector<std::string> offered(const std::string& selection) const
    {
        std::vector<std::string> names;
        for (const auto* descriptor : m_factory.compatibleDescriptors(m_selections.at(selection)))
            names.push_back(descriptor->id.substr(std::string("Navigation.").size()));
        return names;
    }

    /// The algorithm as the host creates it from its menu; a stream-creation algorithm has also built its stream
    /// and handed it over, as after the user's first Compute.
    std::unique_ptr<Algorithm> create(const std::string& shortName, const std::string& selection)
    {
        auto algorithm = m_factory.instantiateAlgorithm("Navigation." + shortName, m_selections.at(selection));
        if (algorithm && dynamic_cast<StreamAlgorithmBase*>(algorithm.get()))
        {
            algorithm->compute();
            for (auto& data : algorithm->takeOutput().release())
                m_created.push_back(std::move(data));
        }
        return algorithm;
    }

    ManualTrackingStream m_stream{ "Tracker" };
    ManualTrackingStream m_other{ "Reference tracker" };
    SharedImageSet m_volume{ "MR", { 4, 4, 4 }, { 1, 1, 1 } };
    SharedImageSet m_ct{ "CT", { 4, 4, 4 }, { 1, 1, 1 } };
    TrackingSequence m_sequence{ "Pivoting" };
    TrackingSequence m_otherSequence{ "Rotation" };
    TrackingSequence m_thirdSequence{ "Third" };
    std::map<std::string, DataList> m_selections;
    NavigationAlgorithmFactory m_factory;
    std::vector<std::unique_ptr<Data>> m_created;
};
} // namespace

TEST_F(NavigationAlgorithmTable, RegistersEveryAlgorithmUnderItsMenuInOrder)
{
    const auto descriptors = m_factory.algorithmDescriptors();
    ASSERT_EQ(descriptors.size(), kRows.size());
    for (size_t i = 0; i < kRows.size(); ++i)
    {
        SCOPED_TRACE(kRows[i].shortName);
        EXPECT_EQ(descriptors[i]->id, "Navigation." + kRows[i].shortName);
        EXPECT_EQ(descriptors[i]->category, kRows[i].category);
        EXPECT_EQ(descriptors[i]->displayName(), kRows[i].displayName);
        EXPECT_EQ(descriptors[i]->flags, 0);
        EXPECT_EQ(descriptors[i]->preset, nullptr);
    }
}

TEST_F(NavigationAlgorithmTable, OffersEachAlgorithmOnTheSelectionsItFits)
{
    using Names = std::vector<std::string>;
    const std::map<std::string, Names> expected = {
        { "nothing", {} },
        { "stream",
          { "CreateStreamCombinedTrackingStream", "CreateStreamSmoothedTrackingStream", "ToolNavigationVisualization",
            "ToolVisualization", "TrackingToolCalibrationWizardAlgorithm" } },
        // The tool visualization follows the first stream of a selection of at most two items.
        { "two streams", { "CreateStreamCombinedTrackingStream", "ToolVisualization" } },
        { "stream and volume",
          { "BreachWarning", "BullseyeVisualization", "LiveTrackingPointRegistration", "SurfaceRefinement",
            "ToolVisualization" } },
        { "stream and CT",
          { "BreachWarning", "BullseyeVisualization", "LiveTrackingPointRegistration", "SurfaceRefinement",
            "ToolVisualization" } },
        { "stream and two volumes", {} },
        { "volume", {} },
        { "sequence", { "ToolCalibration" } },
        { "two sequences", { "ToolCalibration" } },
        { "three sequences", {} },
    };
    for (const auto& [selection, names] : expected)
        EXPECT_EQ(offered(selection), names) << selection;
}

// Each algorithm reads back a saved configuration with every value changed from its default and writes it out
// byte for byte: a key that is renamed, no longer read or no longer written breaks stored workspaces. The saved
// defaults are pinned the same way. A stream-creation algorithm is asked after its stream was handed to the host,
// so the stream's own settings are what is saved.
TEST_F(NavigationAlgorithmTable, SavedConfigurationsReadBackUnchanged)
{
    const std::map<std::string, std::string> selectionOf = {
        { "BreachWarning", "stream and volume" },
        { "BullseyeVisualization", "stream and volume" },
        { "CreateStreamCombinedTrackingStream", "two streams" },
        { "LiveTrackingPointRegistration", "stream and volume" },
        { "CreateStreamSmoothedTrackingStream", "stream" },
        { "SurfaceRefinement", "stream and volume" },
        { "ToolCalibration", "sequence" },
        { "ToolNavigationVisualization", "stream" },
        { "ToolVisualization", "stream" },
        { "TrackingToolCalibrationWizardAlgorithm", "stream" },
    };
    for (const Row& row : kRows)
    {
        SCOPED_TRACE(row.shortName);
        const std::string base = std::string(CONFIGURATION_DATA_DIR) + "/Navigation." + row.shortName;

        auto fresh = create(row.shortName, selectionOf.at(row.shortName));
        ASSERT_NE(fresh, nullptr);
        Properties defaults;
        fresh->configuration(&defaults);
        EXPECT_EQ(defaults.toXml(), readFile(base + ".defaults.xml"));

        const std::string changedText = readFile(base + ".xml");
        if (changedText.empty())
            continue; // an algorithm without settings
        const auto changed = Properties::fromXml(changedText, base + ".xml");
        ASSERT_NE(changed, nullptr);
        auto restored = create(row.shortName, selectionOf.at(row.shortName));
        restored->configure(changed.get());
        Properties written;
        restored->configuration(&written);
        EXPECT_EQ(written.toXml(), changedText);
    }
}
