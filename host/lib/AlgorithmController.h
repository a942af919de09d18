#pragma once

#include <string>

#include "core/Export.h"
#include "core/Signal.h"

namespace Kelvaros
{

class Algorithm;
class Properties;
class ApplicationController;
class DisplayWidgetMulti;

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
    /// What the panel's own widgets hold beyond the algorithm's parameters and is worth keeping in a workspace
    /// (view settings, say); nothing by default.
    virtual void savePanelState(Properties& state) const { (void)state; }
    /// What closing the panel (and its algorithm) would throw away that nothing else keeps, in a few words for a
    /// question ("4 tracked and 4 image points"); empty when nothing would be lost, the default.
    [[nodiscard]] virtual std::string unsavedWork() const { return {}; }
    /// Puts back what savePanelState wrote, after init(); keys that are absent leave their widgets as they are.
    virtual void loadPanelState(const Properties& state) { (void)state; }
    /// Asks the host to close the algorithm and this controller.
    void closeAlgorithm();

    [[nodiscard]] Algorithm* algorithm() const { return m_algorithm; }

    /// The views the panel draws into, set by the host before init(); null where there are none (the
    /// command-line tool, tests without a display). Not owned.
    [[nodiscard]] DisplayWidgetMulti* display() const { return m_display; }
    void setDisplay(DisplayWidgetMulti* display) { m_display = display; }
    /// The application that opened the panel, set by the host before init(); null in tests that build panels
    /// on their own. Not owned.
    [[nodiscard]] ApplicationController* application() const { return m_application; }
    void setApplication(ApplicationController* application) { m_application = application; }

    /// Emitted by closeAlgorithm, on the user-interface thread.
    SignalImpl<> signalCloseRequested;

private:
    Algorithm* m_algorithm;
    DisplayWidgetMulti* m_display = nullptr;
    ApplicationController* m_application = nullptr;
};

} // namespace Kelvaros
