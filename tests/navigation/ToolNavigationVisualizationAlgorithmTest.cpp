#include "navigation/ToolNavigationVisualizationAlgorithm.h"

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "stream/ManualTrackingStream.h"

#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;

TEST(ToolNavigationVisualization, OneMeshPathIsStoredAndTheToolMeshFollowsIt)
{
    ManualTrackingStream stream;
    ToolNavigationVisualizationAlgorithm algorithm(&stream);
    // An edit of the path (the property editor's too) reaches the tool visualization at once.
    algorithm.p_toolMeshPath.setValue(":/Needle.obj");
    EXPECT_EQ(algorithm.toolVisualization().p_mesh.value(), ":/Needle.obj");
    Properties saved;
    algorithm.configuration(&saved);
    EXPECT_FALSE(saved.hasParam("mesh"));
    EXPECT_EQ(saved.paramOr<std::string>("toolMeshPath", ""), ":/Needle.obj");
    EXPECT_TRUE(saved.hasParam("trackingTargetId"));

    // The tool visualization reads the same properties, but toolMeshPath wins over a mesh key of an older file.
    Properties older;
    older.setParam<std::string>("toolMeshPath", ":/A.obj");
    older.setParam<std::string>("mesh", ":/B.obj");
    older.setParam<std::string>("trackingTargetId", "needle");
    ToolNavigationVisualizationAlgorithm copy(&stream);
    copy.configure(&older);
    EXPECT_EQ(copy.toolVisualization().p_mesh.value(), ":/A.obj");
    EXPECT_EQ(copy.toolVisualization().p_trackingTargetId.value(), "needle");
}
