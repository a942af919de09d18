#include "NavigationAlgorithmControllerFactory.h"

#include "calibration/ToolCalibrationAlgorithm.h"
#include "calibration/ToolCalibrationController.h"
#include "calibration/TrackingToolCalibrationWizard.h"
#include "calibration/TrackingToolCalibrationWizardAlgorithm.h"
#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "navigation/ToolNavigationVisualizationController.h"
#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "registration/LiveTrackingPointRegistrationController.h"
#include "registration/SurfaceRefinementAlgorithm.h"
#include "registration/SurfaceRefinementController.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/CombinedTrackingStreamController.h"
#include "streams/CreateStreamAlgorithm.h"
#include "streams/SmoothedTrackingStream.h"
#include "streams/SmoothedTrackingStreamController.h"
#include "visualization/BreachWarningAlgorithm.h"
#include "visualization/BreachWarningController.h"
#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/BullseyeVisualizationController.h"
#include "visualization/ToolVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationController.h"

namespace Kelvaros
{

NavigationAlgorithmControllerFactory::NavigationAlgorithmControllerFactory()
  : AlgorithmControllerFactory("Navigation", false)
{
}

NavigationAlgorithmControllerFactory::~NavigationAlgorithmControllerFactory() = default;

std::unique_ptr<AlgorithmController> NavigationAlgorithmControllerFactory::create(Algorithm* algorithm) const
{
    // The order of the tests matters only where one algorithm type derives from another; it is kept fixed.
    if (auto* breach = dynamic_cast<BreachWarningAlgorithm*>(algorithm))
        return std::make_unique<BreachWarningController>(breach);
    if (auto* bullseye = dynamic_cast<BullseyeVisualizationAlgorithm*>(algorithm))
        return std::make_unique<BullseyeVisualizationController>(bullseye);
    if (dynamic_cast<CreateStreamAlgorithm<CombinedTrackingStream>*>(algorithm))
        return std::make_unique<CombinedTrackingStreamController>(algorithm);
    if (auto* registration = dynamic_cast<LiveTrackingPointRegistrationAlgorithm*>(algorithm))
        return std::make_unique<LiveTrackingPointRegistrationController>(registration);
    if (auto* refinement = dynamic_cast<SurfaceRefinementAlgorithm*>(algorithm))
        return std::make_unique<SurfaceRefinementController>(refinement);
    if (dynamic_cast<CreateStreamAlgorithm<SmoothedTrackingStream>*>(algorithm))
        return std::make_unique<SmoothedTrackingStreamController>(algorithm);
    if (auto* calibration = dynamic_cast<ToolCalibrationAlgorithm*>(algorithm))
        return std::make_unique<ToolCalibrationController>(calibration);
    if (auto* visualization = dynamic_cast<ToolVisualizationAlgorithm*>(algorithm))
        return std::make_unique<ToolVisualizationController>(visualization);
    if (auto* wizard = dynamic_cast<TrackingToolCalibrationWizardAlgorithm*>(algorithm))
        return std::make_unique<TrackingToolCalibrationWizard>(wizard);
    if (auto* navigation = dynamic_cast<ToolNavigationVisualizationAlgorithm*>(algorithm))
        return std::make_unique<ToolNavigationVisualizationController>(navigation);
    return nullptr;
}

} // namespace Kelvaros
