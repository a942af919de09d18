#pragma once

#include "gui/controller/StreamControllerBase.h"

namespace Kelvaros
{

class Stream;

/// The panel of the algorithm that creates a SmoothedTrackingStream: the stream's parameters in the host's property
/// editor, where the fields of the chosen smoothing mode show and the others hide as soon as the mode changes, and
/// the presets of the command line's --preset ("default", "adaptive") to set them all at once.
/// Main thread.
class SmoothedTrackingStreamController : public StreamControllerBase
{
    Q_OBJECT

public:
    /// The algorithm creates the stream (a StreamAlgorithmBase); not owned, outlives the panel.
    explicit SmoothedTrackingStreamController(Algorithm* algorithm);
    ~SmoothedTrackingStreamController() override;

    /// The base places the property widget; this keeps it showing the stream's configuration after every change.
    void init() override;

private:
    void addPresetChoice(Stream& smoothed);
};

} // namespace Kelvaros
