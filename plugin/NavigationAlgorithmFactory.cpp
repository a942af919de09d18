#include "NavigationAlgorithmFactory.h"

#include "CreateStreamAlgorithm.h"
#include "registration/LiveTrackingPointRegistrationAlgorithm.h"
#include "streams/CombinedTrackingStream.h"
#include "streams/SmoothedTrackingStream.h"
#include "streams/StreamCreationRule.h"

namespace Kelvaros
{

NavigationAlgorithmFactory::NavigationAlgorithmFactory()
  : AlgorithmFactory("Navigation", false)
{
    registerAlgorithm<CreateStreamAlgorithm<CombinedTrackingStream>>(
        "CreateStreamCombinedTrackingStream", "Streaming;Combine Trackings",
        &createStreamAlgorithm<CombinedTrackingStream>);
    registerAlgorithm<LiveTrackingPointRegistrationAlgorithm>("LiveTrackingPointRegistration",
                                                              "Registration;Tracker-Volume Registration");
    registerAlgorithm<CreateStreamAlgorithm<SmoothedTrackingStream>>(
        "CreateStreamSmoothedTrackingStream", "Streaming;Smoothed Live Tracking Stream",
        &createStreamAlgorithm<SmoothedTrackingStream>);
}

NavigationAlgorithmFactory::~NavigationAlgorithmFactory() = default;

} // namespace Kelvaros
