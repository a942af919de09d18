#pragma once

#include <string>

#include "core/Export.h"
#include "core/Signal.h"

namespace Kelvaros
{

class Algorithm;

/// The panel bound to one algorithm. This is its widget-free part; the widget side (a QWidget that also
/// derives from this class) lives with the user interface.
class KELVAROS_API AlgorithmController : public SignalReceiver
{
public:
    /// The algorithm is not owned and outlives the controller.
    explicit AlgorithmController(Algorithm* algorithm);
    ~AlgorithmController() override;

    /// Builds the panel; called once by the host after construction.
    virtual void init() = 0;
    virtual void onAlgorithmOutputChanged() {}
    virtual void onAlgorithmParametersChanged() {}
    /// The display name of the algorithm (from its factory information).
    [[nodiscard]] virtual std::string title() const;
    /// Asks the host to close the algorithm and this controller.
    void closeAlgorithm();

    [[nodiscard]] Algorithm* algorithm() const { return m_algorithm; }

    /// Emitted by closeAlgorithm, on the user-interface thread.
    SignalImpl<> signalCloseRequested;

private:
    Algorithm* m_algorithm;
};

} // namespace Kelvaros
