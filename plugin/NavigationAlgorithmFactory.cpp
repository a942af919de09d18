#include "NavigationAlgorithmFactory.h"

#include "calibration/ToolCalibrationAlgorithm.h"
#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "registration/PointsOnTrackingStreamRegistry.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/CreateStreamAlgorithm.h"
#include "streams/SmoothedTrackingStream.h"
#include "streams/StreamCreationRule.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{

NavigationAlgorithmFactory::NavigationAlgorithmFactory() : AlgorithmFactory("Navigation", false)
{
    registerAlgorithm<BullseyeVisualizationAlgorithm>("BullseyeVisualization", "Visualization;Bullseye Visualization");
    registerAlgorithm<CreateStreamAlgorithm<CombinedTrackingStream>>("CreateStreamCombinedTrackingStream",
                                                                     "Streaming;Combine Trackings",
                                                                     &createStreamAlgorithm<CombinedTrackingStream>);
    registerAlgorithm<LiveTrackingPointRegistrationAlgorithm>("LiveTrackingPointRegistration",
                                                              "Registration;Tracker-Volume Registration");
    registerAlgorithm<CreateStreamAlgorithm<SmoothedTrackingStream>>("CreateStreamSmoothedTrackingStream",
                                                                     "Streaming;Smoothed Live Tracking Stream",
                                                                     &createStreamAlgorithm<SmoothedTrackingStream>);
    registerAlgorithm<ToolCalibrationAlgorithm>("ToolCalibration", "Streaming;Tool Calibration");
    registerAlgorithm<ToolNavigationVisualizationAlgorithm>("ToolNavigationVisualization",
                                                            "Visualization;Navigation Visualization");
    registerAlgorithm<ToolVisualizationAlgorithm>("ToolVisualization", "Visualization;Tool Visualization");
    registerAlgorithm<TrackingToolCalibrationWizardAlgorithm>("TrackingToolCalibrationWizardAlgorithm",
                                                              "Streaming;Tracking Tool Calibration");
    registerTrackingStreamPoints();
}

NavigationAlgorithmFactory::~NavigationAlgorithmFactory()
{
    unregisterTrackingStreamPoints();
}

} // namespace Kelvaros
