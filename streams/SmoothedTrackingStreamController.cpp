#include "SmoothedTrackingStreamController.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "core/Properties.h"
#include "gui/controller/PropertyWidget.h"
#include "lib/numerics/SmoothingPresets.h"
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
    addPresetChoice(*smoothed);
    smoothed->signalParametersChanged.connect(this,
                                              [smoothed, properties](ParameterBase*)
                                              {
                                                  Properties configuration;
                                                  smoothed->configuration(&configuration);
                                                  properties->configure(configuration);
                                              });
}

void SmoothedTrackingStreamController::addPresetChoice(Stream& smoothed)
{
    auto* row = new QHBoxLayout;
    auto* presets = new QComboBox(this);
    presets->setObjectName("comboBox_preset");
    presets->addItem(tr("Choose a preset..."));
    for (const std::string& name : SmoothingPresets::names())
        presets->addItem(QString::fromStdString(name));
    presets->setToolTip(tr("default: the Kalman filter with its own settings; adaptive: strong smoothing while the "
                           "tool rests and no lag while it moves"));
    row->addWidget(new QLabel(tr("Preset"), this));
    row->addWidget(presets, 1);
    layout()->insertLayout(2, row);
    connect(presets, QOverload<int>::of(&QComboBox::activated), this,
            [&smoothed, presets](int index)
            {
                if (index == 0)
                    return;
                if (const auto configuration = SmoothingPresets::configuration(presets->itemText(index).toStdString()))
                    smoothed.configure(configuration.get());
                presets->setCurrentIndex(0);
            });
}

} // namespace Kelvaros
