#include "registration/PointsOnTrackingStreamRegistry.h"

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/points/PointCorrespondences.h"
#include "lib/points/PointCorrespondencesAlgorithm.h"
#include "lib/points/PointsOnImage.h"
#include "lib/points/PointsStorageComponent.h"
#include "stream/ManualTrackingStream.h"

#include "LogExpectation.h"
#include "RegistrationTestSupport.h"
#include "registration/PointsOnTrackingStream.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

TEST(PointsOnTrackingStreamRegistry, StreamsGetTheirNamedPointSetsThroughTheHost)
{
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    SharedImageSet volume("volume", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));

    EXPECT_FALSE(PointCorrespondencesAlgorithm::isCompatible(stream));
    registerTrackingStreamPoints();
    const size_t checks = PointCorrespondencesAlgorithm::getCompatibilityChecks().size();
    registerTrackingStreamPoints(); // a second factory adds nothing
    EXPECT_EQ(PointCorrespondencesAlgorithm::getCompatibilityChecks().size(), checks);
    EXPECT_TRUE(PointCorrespondencesAlgorithm::isCompatible(stream));

    const auto created = PointCorrespondencesAlgorithm::createPointsOnData(stream, "tracked");
    const auto* points = dynamic_cast<PointsOnTrackingStream*>(created.get());
    ASSERT_TRUE(points);
    EXPECT_EQ(&points->trackingStream(), &stream);
    EXPECT_EQ(points->trackerId(), "pointer");
    auto* storage = stream.components().get<PointsStorageComponent>();
    ASSERT_TRUE(storage);
    EXPECT_EQ(storage->points("tracked"), created);
    EXPECT_EQ(PointCorrespondencesAlgorithm::createPointsOnData(stream, "tracked"), created);
    // Image sets still get the host's point sets.
    EXPECT_TRUE(dynamic_cast<PointsOnImage*>(PointCorrespondencesAlgorithm::createPointsOnData(volume, "x").get()));
    EXPECT_EQ(pointsOnTrackingStream(volume, "x"), nullptr);

    // The entries stay while any registration does, and go with the last.
    unregisterTrackingStreamPoints();
    EXPECT_TRUE(PointCorrespondencesAlgorithm::isCompatible(stream));
    unregisterTrackingStreamPoints();
    EXPECT_FALSE(PointCorrespondencesAlgorithm::isCompatible(stream));
    ManualTrackingStream fresh;
    EXPECT_EQ(PointCorrespondencesAlgorithm::createPointsOnData(fresh, "tracked"), nullptr);
    unregisterTrackingStreamPoints(); // an unmatched call is harmless
    EXPECT_EQ(PointCorrespondencesAlgorithm::getCompatibilityChecks().size(), checks - 1);
}

TEST(PointsOnTrackingStreamRegistry, StoredConfigurationsAndTypeClashes)
{
    ManualTrackingStream stream;
    SharedImageSet volume("volume", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    auto& storage = stream.components().getOrAdd<PointsStorageComponent>();

    Properties stored;
    stored.setParam("trackingTargetId", std::string("needle"));
    Properties* record = stored.addSubProperties("points")->addSubProperties("point");
    record->setParam("Point", Eigen::Vector3d(1, 2, 3));
    record->setParam("Name", std::string("entry"));
    storage.setStoredConfiguration("plan", stored);
    const auto plan = pointsOnTrackingStream(stream, "plan");
    ASSERT_TRUE(plan);
    EXPECT_EQ(plan->trackerId(), "needle");
    ASSERT_EQ(plan->size(), 1);
    EXPECT_EQ(plan->point(0), Eigen::Vector3d(1, 2, 3));
    EXPECT_EQ(plan->name(0), "entry");

    storage.setPoints("image", std::make_shared<PointsOnImage>(volume));
    LogExpectation expect(Log::Error,
                          "Point set with name 'image' already exists, but is not of type "
                          "'Kelvaros::PointsOnTrackingStream'",
                          1);
    EXPECT_EQ(pointsOnTrackingStream(stream, "image"), nullptr);
}

// With the registration in place, the host's generic paired-point algorithm registers a volume onto a stream.
TEST(PointsOnTrackingStreamRegistry, HostAlgorithmRegistersAVolumeOntoTrackedPoints)
{
    registerTrackingStreamPoints();
    std::mt19937 rng(4);
    ManualTrackingStream stream;
    SharedImageSet volume("volume", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));
    volume.setMatrix(randomRigid(rng));
    stream.setMatrix(randomRigid(rng));

    std::unique_ptr<Algorithm> algorithm;
    ASSERT_TRUE(PointCorrespondencesAlgorithm::createCompatible(DataList{ &stream, &volume }, &algorithm));
    auto& host = static_cast<PointCorrespondencesAlgorithm&>(*algorithm);
    auto& tracked = static_cast<PointsOnTrackingStream&>(host.pointCorrespondences()->first());
    auto& image = static_cast<PointsOnImage&>(host.pointCorrespondences()->second());
    const Eigen::Matrix4d truth = randomRigid(rng);
    for (const auto& p : randomPoints(rng, 4))
    {
        image.addImagePoint(p, 0);
        tracked.addWorldPoint(apply(stream.matrix().inverse() * volume.matrix() * truth, p));
    }
    host.compute();
    EXPECT_EQ(host.status(), 0);
    EXPECT_TRUE(host.transform().isApprox(truth, 1e-9));
    unregisterTrackingStreamPoints();
}
