// The registration lines of the visualization algorithms, as the plug-in's factory holds them, run through the
// host's factory: identifiers, display names and which selections offer which algorithm.

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "lib/AlgorithmFactory.h"
#include "lib/SharedImageSet.h"
#include "stream/ManualTrackingStream.h"

#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;

namespace
{
class VisualizationRows : public AlgorithmFactory
{
public:
    VisualizationRows() : AlgorithmFactory("Navigation", false)
    {
        registerAlgorithm<BullseyeVisualizationAlgorithm>("BullseyeVisualization",
                                                          "Visualization;Bullseye Visualization");
        registerAlgorithm<ToolNavigationVisualizationAlgorithm>("ToolNavigationVisualization",
                                                                "Visualization;Navigation Visualization");
        registerAlgorithm<ToolVisualizationAlgorithm>("ToolVisualization", "Visualization;Tool Visualization");
    }
};

std::vector<std::string> offered(const AlgorithmFactory& factory, const DataList& data)
{
    std::vector<std::string> ids;
    for (const auto* descriptor : factory.compatibleDescriptors(data))
        ids.push_back(descriptor->id);
    return ids;
}
} // namespace

TEST(VisualizationRegistration, RowsOneSixAndSeven)
{
    const VisualizationRows factory;
    const auto* bullseye = factory.algorithmDescriptor("Navigation.BullseyeVisualization");
    const auto* navigation = factory.algorithmDescriptor("Navigation.ToolNavigationVisualization");
    const auto* tool = factory.algorithmDescriptor("Navigation.ToolVisualization");
    ASSERT_TRUE(bullseye && navigation && tool);
    EXPECT_EQ(bullseye->displayName(), "Bullseye Visualization");
    EXPECT_EQ(navigation->displayName(), "Navigation Visualization");
    EXPECT_EQ(tool->displayName(), "Tool Visualization");

    ManualTrackingStream stream;
    SharedImageSet volume("ct", { 4, 4, 4 }, { 1, 1, 1 });
    using Ids = std::vector<std::string>;
    EXPECT_EQ(offered(factory, DataList{ &stream }),
              (Ids{ "Navigation.ToolNavigationVisualization", "Navigation.ToolVisualization" }));
    EXPECT_EQ(offered(factory, DataList{ &stream, &volume }),
              (Ids{ "Navigation.BullseyeVisualization", "Navigation.ToolVisualization" }));
    EXPECT_TRUE(offered(factory, DataList{ &volume }).empty());

    auto created = factory.instantiateAlgorithm("Navigation.BullseyeVisualization", DataList{ &stream, &volume });
    ASSERT_TRUE(created);
    EXPECT_TRUE(dynamic_cast<BullseyeVisualizationAlgorithm*>(created.get()));
    EXPECT_EQ(created->factoryInfo().name, "Bullseye Visualization");
    EXPECT_EQ(factory.algorithmId(*created), "Navigation.BullseyeVisualization");
    created = factory.instantiateAlgorithm("Navigation.ToolVisualization", DataList{ &stream });
    EXPECT_TRUE(dynamic_cast<ToolVisualizationAlgorithm*>(created.get()));
    created = factory.instantiateAlgorithm("Navigation.ToolNavigationVisualization", DataList{ &stream });
    EXPECT_TRUE(dynamic_cast<ToolNavigationVisualizationAlgorithm*>(created.get()));
}
