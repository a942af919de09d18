#include "registration/PointsOnTrackingStreamRegistry.h"

#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"
#include "lib/points/PointCorrespondencesAlgorithm.h"
#include "lib/points/PointsOnImage.h"
#include "lib/points/PointsStorageComponent.h"
#include "stream/ManualTrackingStream.h"

#include "registration/PointsOnTrackingStream.h"

using namespace Kelvaros;

TEST(PointsOnTrackingStreamRegistry, StreamsGetTheirNamedPointSetsWhileRegistered)
{
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    SharedImageSet volume("volume", Eigen::Vector3i(4, 4, 4), Eigen::Vector3d(1, 1, 1));

    EXPECT_FALSE(PointCorrespondencesAlgorithm::isCompatible(stream));
    registerTrackingStreamPoints();
    const size_t checks = PointCorrespondencesAlgorithm::getCompatibilityChecks().size();
    registerTrackingStreamPoints(); // a second factory adds nothing
    EXPECT_EQ(PointCorrespondencesAlgorithm::getCompatibilityChecks().size(), checks);

    const auto created = PointCorrespondencesAlgorithm::createPointsOnData(stream, "tracked");
    const auto* points = dynamic_cast<PointsOnTrackingStream*>(created.get());
    ASSERT_TRUE(points);
    EXPECT_EQ(points->trackerId(), "pointer");
    EXPECT_EQ(stream.components().get<PointsStorageComponent>()->points("tracked"), created);
    EXPECT_EQ(PointCorrespondencesAlgorithm::createPointsOnData(stream, "tracked"), created);
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
