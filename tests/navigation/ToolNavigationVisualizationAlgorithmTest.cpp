#include "navigation/ToolNavigationVisualizationAlgorithm.h"

#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "core/FileSystem.h"
#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "stream/ManualTrackingStream.h"
#include "stream/TrackingSequence.h"

#include "visualization/ToolVisualizationAlgorithm.h"

using namespace Kelvaros;

namespace
{
using Algo = ToolNavigationVisualizationAlgorithm;
}

TEST(ToolNavigationVisualization, CreateCompatibleNeedsExactlyOneTrackingStream)
{
    ManualTrackingStream stream;
    ManualTrackingStream other;
    SharedImageSet volume("ct", { 4, 4, 4 }, { 1, 1, 1 });
    TrackingSequence sequence("sequence");
    EXPECT_FALSE(Algo::createCompatible(DataList{}, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &volume }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &sequence }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &volume }, nullptr));
    EXPECT_FALSE(Algo::createCompatible(DataList{ &stream, &other }, nullptr));
    EXPECT_TRUE(Algo::createCompatible(DataList{ &stream }, nullptr));

    std::unique_ptr<Algorithm> created;
    ASSERT_TRUE(Algo::createCompatible(DataList{ &stream }, &created));
    auto* algorithm = dynamic_cast<Algo*>(created.get());
    ASSERT_TRUE(algorithm);
    EXPECT_EQ(algorithm->trackingStream(), &stream);
    EXPECT_EQ(algorithm->toolVisualization().trackingStream(), &stream);
    EXPECT_FALSE(algorithm->toolVisualization().isRunning());
    algorithm->compute();
    EXPECT_EQ(algorithm->status(), 0);
}

TEST(ToolNavigationVisualization, OneMeshPathIsStoredAndRoundTrips)
{
    ManualTrackingStream stream;
    Algo algorithm(&stream);
    EXPECT_EQ(algorithm.toolVisualization().p_mesh.value(), ":/TrackingPointer.obj");

    Properties saved;
    algorithm.configuration(&saved);
    EXPECT_FALSE(saved.hasParam("mesh"));
    EXPECT_EQ(saved.params().front(), "toolMeshPath");
    EXPECT_EQ(saved.paramOr<std::string>("toolMeshPath", ""), ":/TrackingPointer.obj");
    EXPECT_TRUE(saved.hasParam("trackingTargetId"));

    // An edit of the path reaches the tool visualization at once, and is what a saved file holds.
    algorithm.p_toolMeshPath.setValue(":/Needle.obj");
    algorithm.toolVisualization().p_trackingTargetId.setValue("needle");
    algorithm.toolVisualization().p_linkMPRs.setValue(false);
    EXPECT_EQ(algorithm.toolVisualization().p_mesh.value(), ":/Needle.obj");
    saved.clear();
    algorithm.configuration(&saved);
    EXPECT_EQ(saved.paramOr<std::string>("toolMeshPath", ""), ":/Needle.obj");
    EXPECT_FALSE(saved.hasParam("mesh"));
    const auto reloaded = Properties::fromXml(saved.toXml());
    ASSERT_TRUE(reloaded);

    Algo copy(&stream);
    int meshChanges = 0;
    copy.toolVisualization().p_mesh.signalChanged.connect([&](ParameterBase*) { ++meshChanges; });
    copy.configure(reloaded.get());
    EXPECT_EQ(copy.p_toolMeshPath.value(), ":/Needle.obj");
    EXPECT_EQ(copy.toolVisualization().p_mesh.value(), ":/Needle.obj");
    EXPECT_EQ(copy.toolVisualization().p_trackingTargetId.value(), "needle");
    EXPECT_FALSE(copy.toolVisualization().p_linkMPRs.value());
    EXPECT_EQ(meshChanges, 1);
    copy.configure(reloaded.get());
    EXPECT_EQ(meshChanges, 1);
    Properties again;
    copy.configuration(&again);
    EXPECT_EQ(again, saved);
}

TEST(ToolNavigationVisualization, ToolMeshPathWinsOverAStrayMeshKeyAndIsMadeAbsolute)
{
    const std::string name = "NavigationRelativeNeedle.obj";
    {
        std::ofstream file(name);
        file << "v 0 0 0\n";
    }
    Algo algorithm(nullptr);
    Properties properties;
    properties.setParam<std::string>("toolMeshPath", name);
    properties.setParam<std::string>("mesh", ":/Stray.obj");
    algorithm.configure(&properties);
    EXPECT_EQ(algorithm.p_toolMeshPath.value(), FileSystem::makeAbsolute(name));
    EXPECT_EQ(algorithm.toolVisualization().p_mesh.value(), FileSystem::makeAbsolute(name));
    std::remove(name.c_str());

    algorithm.configure(nullptr);
    algorithm.configuration(nullptr);
}
