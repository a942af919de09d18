#include "NavigationAlgorithmFactory.h"

#include <mutex>

#include "lib/points/PointCorrespondencesAlgorithm.h"
#include "stream/TrackingStream.h"

#include "calibration/ToolCalibrationAlgorithm.h"
#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "registration/PointsOnTrackingStreamManipulator.h"
#include "registration/PointsOnTrackingStreamRegistry.h"
#include "registration/SurfaceRefinementAlgorithm.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/CreateStreamAlgorithm.h"
#include "streams/SmoothedTrackingStream.h"
#include "streams/StreamCreationRule.h"
#include "visualization/BreachWarningAlgorithm.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{

namespace
{

/// Tracked points of a tracking stream are captured with the pointer; other point sets are not ours.
std::unique_ptr<PointsOnDataManipulator> trackedPointsManipulator(PointsOnData& points)
{
    auto* tracked = dynamic_cast<PointsOnTrackingStream*>(&points);
    if (!tracked || !dynamic_cast<const TrackingStream*>(points.data()))
        return nullptr;
    return std::make_unique<PointsOnTrackingStreamManipulator>(*tracked);
}

// One entry however many factories live; it goes with the last of them, before the module can be unloaded.
std::mutex g_manipulatorMutex;
int g_manipulatorRegistrations = 0;

void registerTrackedPointsManipulator()
{
    std::lock_guard<std::mutex> lock(g_manipulatorMutex);
    if (g_manipulatorRegistrations++ == 0)
        PointCorrespondencesAlgorithm::addManipulatorFactory(&trackedPointsManipulator, 2);
}

void unregisterTrackedPointsManipulator()
{
    std::lock_guard<std::mutex> lock(g_manipulatorMutex);
    if (g_manipulatorRegistrations > 0 && --g_manipulatorRegistrations == 0)
        PointCorrespondencesAlgorithm::removeManipulatorFactory(&trackedPointsManipulator);
}

} // namespace

NavigationAlgorithmFactory::NavigationAlgorithmFactory() : AlgorithmFactory("Navigation", false)
{
    registerAlgorithm<BreachWarningAlgorithm>("BreachWarning", "Visualization;Breach Warning");
    registerAlgorithm<BullseyeVisualizationAlgorithm>("BullseyeVisualization", "Visualization;Bullseye Visualization");
    registerAlgorithm<CreateStreamAlgorithm<CombinedTrackingStream>>("CreateStreamCombinedTrackingStream",
                                                                     "Streaming;Combine Trackings",
                                                                     &createStreamAlgorithm<CombinedTrackingStream>);
    registerAlgorithm<LiveTrackingPointRegistrationAlgorithm>("LiveTrackingPointRegistration",
                                                              "Registration;Tracker-Volume Registration");
    registerAlgorithm<CreateStreamAlgorithm<SmoothedTrackingStream>>("CreateStreamSmoothedTrackingStream",
                                                                     "Streaming;Smoothed Live Tracking Stream",
                                                                     &createStreamAlgorithm<SmoothedTrackingStream>);
    registerAlgorithm<SurfaceRefinementAlgorithm>("SurfaceRefinement", "Registration;Surface Refinement");
    registerAlgorithm<ToolCalibrationAlgorithm>("ToolCalibration", "Streaming;Tool Calibration");
    registerAlgorithm<ToolNavigationVisualizationAlgorithm>("ToolNavigationVisualization",
                                                            "Visualization;Navigation Visualization");
    registerAlgorithm<ToolVisualizationAlgorithm>("ToolVisualization", "Visualization;Tool Visualization");
    registerAlgorithm<TrackingToolCalibrationWizardAlgorithm>("TrackingToolCalibrationWizardAlgorithm",
                                                              "Streaming;Tracking Tool Calibration");
    registerTrackingStreamPoints();
    registerTrackedPointsManipulator();
}

NavigationAlgorithmFactory::~NavigationAlgorithmFactory()
{
    unregisterTrackedPointsManipulator();
    unregisterTrackingStreamPoints();
}

} // namespace Kelvaros
