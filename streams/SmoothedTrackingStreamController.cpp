#include "SmoothedTrackingStreamController.h"

#include "core/Properties.h"
#include "gui/controller/PropertyWidget.h"
#include "stream/Stream.h"

namespace Kelvaros
{

SmoothedTrackingStreamController::SmoothedTrackingStreamController(Algorithm* algorithm)
  : StreamControllerBase(algorithm, true)
{
}

SmoothedTrackingStreamController::~SmoothedTrackingStreamController()
{
    disconnectAll();
}

void SmoothedTrackingStreamController::init()
{
    StreamControllerBase::init();
    Stream* smoothed = stream();
    PropertyWidget* properties = propertyWidget();
    if (!smoothed || !properties)
        return;
    // The base placed the property widget already. It follows each parameter on its own; the stream's configuration
    // is what says which fields the mode shows, so it is handed over after every change as well. Runs on the thread
    // that changed the parameter; the widget takes it over on the main thread.
    smoothed->signalParametersChanged.connect(this,
                                              [smoothed, properties](ParameterBase*)
                                              {
                                                  Properties configuration;
                                                  smoothed->configuration(&configuration);
                                                  properties->configure(configuration);
                                              });
}

} // namespace Kelvaros
