#include "registration/SurfaceRefinementAlgorithm.h"

#include <random>

#include <gtest/gtest.h>

#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/ManualTrackingStream.h"
#include "stream/sources/TrackingSimulator.h"

#include "LogExpectation.h"
#include "PhantomSurfaceSweep.h"
#include "TrackingTestSupport.h"
#include "imageio/PhantomVolume.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;

namespace
{
/// The pointer's calibration: its tip 150 mm from its markers.
const Eigen::Matrix4d kTipCalibration = translation({ 0, -150, 0 });

void calibratePointer(ManualTrackingStream& stream)
{
    stream.components().getOrAdd<InstrumentCalibrationDataComponent>().setCalibration("pointer", kTipCalibration, 0.1);
}

/// A sample of the pointer with its calibrated tip at `tip`.
void touch(ManualTrackingStream& stream, const Eigen::Vector3d& tip, bool seen = true)
{
    stream.push({ instrument("pointer", translation(tip) * kTipCalibration.inverse(), 1.0, seen) }, 0);
}

// A landmark registration 2 mm off; the pointer sweeps the phantom's skin, with a glimpse while it is not seen and
// a rest that repeats one spot: the refinement brings the body back onto its place and one click undoes it.
TEST(SurfaceRefinement, BringsTheSkinOntoTheSweepAndUndoesInOneStep)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const std::unique_ptr<SharedImageSet> phantom = PhantomVolume::create(truth, 1.0);
    const Eigen::Matrix4d registered = truth.phantomToTracker * phantom->matrix();
    const Eigen::Matrix4d off = translation({ 1.2, -1.0, 1.2 }) * registered;
    phantom->setMatrix(off);
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    openAndStart(stream);
    SurfaceRefinementAlgorithm algorithm(stream, *phantom);
    algorithm.threshold.setValue((PhantomVolume::kAir + PhantomVolume::kSoftTissue) / 2.0);

    algorithm.compute();
    EXPECT_EQ(algorithm.status(), SurfaceRefinementAlgorithm::StatusNoSurface);
    ASSERT_TRUE(algorithm.extractSurface());

    std::mt19937 rng(4);
    const std::vector<Eigen::Vector3d> sweep = PhantomSurfaceSweep::points_Phantom(truth, 200, 0.3, rng);
    algorithm.setRecording(true);
    touch(stream, apply(truth.phantomToTracker, sweep.front())); // before the pointer was calibrated
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(algorithm.uncalibratedSamples(), 1);
    calibratePointer(stream);
    touch(stream, { 500, 500, 500 }, false);
    for (const Eigen::Vector3d& point : sweep)
        touch(stream, apply(truth.phantomToTracker, point));
    touch(stream, apply(truth.phantomToTracker, sweep.back()) + Eigen::Vector3d(0.2, 0, 0));
    ASSERT_TRUE(stream.waitUntilDelivered());
    EXPECT_EQ(algorithm.sweep().size(), sweep.size());

    {
        const LogExpectation free(Log::Warning, "motions undetermined", 1);
        algorithm.compute();
    }
    ASSERT_EQ(algorithm.status(), Algorithm::Success) << algorithm.statusMessage();
    // The body's centre, where the round skin fixes the registration.
    const Eigen::Vector3d centre_Tracker = apply(truth.phantomToTracker, PhantomVolume::body_Phantom(truth).centre);
    const Eigen::Vector3d centre_Image = apply(registered.inverse(), centre_Tracker);
    EXPECT_GT((apply(off, centre_Image) - centre_Tracker).norm(), 1.9);
    EXPECT_LT((apply(phantom->matrix(), centre_Image) - centre_Tracker).norm(), 0.3);
    EXPECT_NE(phantom->components().get<RegistrationHistoryComponent>()->current()->provenance->summary().find(
                "surface refinement"),
              std::string::npos);

    EXPECT_TRUE(algorithm.restorePreviousRegistration());
    EXPECT_EQ(phantom->matrix(), off);
}

// Too few points, or a sweep recorded before the volume was registered (a metre away from its skin): refused
// before any fit, and nothing changes.
TEST(SurfaceRefinement, SweepsThatCannotRefineChangeNothing)
{
    const auto& truth = TrackingSimulator::groundTruth();
    const std::unique_ptr<SharedImageSet> phantom = PhantomVolume::create(truth, 2.0);
    const Eigen::Matrix4d before = phantom->matrix();
    ManualTrackingStream stream;
    stream.setMainInstrumentId("pointer");
    openAndStart(stream);
    SurfaceRefinementAlgorithm algorithm(stream, *phantom);
    algorithm.threshold.setValue(-480.0);
    ASSERT_TRUE(algorithm.extractSurface());
    {
        const LogExpectation refused(Log::Error, "points", 1);
        algorithm.compute();
    }
    EXPECT_EQ(algorithm.status(), SurfaceRefinementAlgorithm::StatusTooFewPoints);

    std::mt19937 rng(5);
    calibratePointer(stream);
    algorithm.setRecording(true);
    for (const Eigen::Vector3d& point : PhantomSurfaceSweep::points_Phantom(truth, 50, 0.3, rng))
        touch(stream, apply(truth.phantomToTracker, point));
    ASSERT_TRUE(stream.waitUntilDelivered());
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), SurfaceRefinementAlgorithm::StatusUntrusted);
    EXPECT_NE(algorithm.statusMessage().find("register the volume with landmarks first"), std::string::npos);
    EXPECT_EQ(phantom->matrix(), before);
    EXPECT_EQ(phantom->components().get<RegistrationHistoryComponent>(), nullptr);
}
} // namespace
