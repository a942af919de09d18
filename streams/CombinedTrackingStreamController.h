#pragma once

#include <memory>

#include "gui/controller/StreamControllerBase.h"

namespace Ui
{
class CombinedTrackingStreamController;
}

namespace Kelvaros
{

class CombinedTrackingStream;

/// The panel of the algorithm that creates a CombinedTrackingStream: the user picks a target instrument and a
/// reference instrument among the instruments of the stream's inputs, a combination mode and a name, and adds
/// that output instrument to the stream; a check box switches the stream to forwarding targets uncombined.
///
/// The instrument lists follow the inputs: a change of the stream's parameters or of its instruments refreshes the
/// panel through a queued call. Output instruments are only ever added; a configure() of the stream replaces them.
/// Main thread.
class CombinedTrackingStreamController : public StreamControllerBase
{
    Q_OBJECT

public:
    /// The algorithm creates the stream (a StreamAlgorithmBase); not owned, outlives the panel.
    explicit CombinedTrackingStreamController(Algorithm* algorithm);
    ~CombinedTrackingStreamController() override;

    /// Finds the combined stream and fills the panel; without one (not created yet, or of another class) the
    /// panel stays empty and inactive.
    void init() override;

    /// The stream the panel works on; null until init() found it.
    [[nodiscard]] CombinedTrackingStream* combinedStream() const { return m_stream; }

public slots:
    /// Appends an output instrument made of the current selection. An empty name becomes
    /// "<reference id>-<target id>" when both instruments are chosen.
    void onAddInstrument();
    void onChangeForwardTargetOnly(bool forward);
    /// Refills the instrument lists from the selected streams and shows the stream's forward flag.
    void updateGui();

private:
    std::unique_ptr<Ui::CombinedTrackingStreamController> m_ui;
    CombinedTrackingStream* m_stream = nullptr;
};

} // namespace Kelvaros
