#pragma once

#include <vector>

#include "gui/scene/GlOverlay.h"

#include "visualization/InsertionReadout.h"

namespace Kelvaros
{

/// The insertion read-out as text over a 3D view: one line per value, each in the colour of its tolerance grade,
/// or the state ("Tool not visible", "Stale: ...") alone, and the breach line in its own colour below, all aligned
/// on the right. Main thread only.
class GlInsertionReadoutOverlay : public GlOverlay
{
public:
    static constexpr int kFontSize = 16;

    GlInsertionReadoutOverlay();

    /// Sizes the overlay to the widest of its lines.
    void setReadout(const InsertionReadout& readout);
    [[nodiscard]] const InsertionReadout& readout() const { return m_readout; }

    void render(const GL::Viewport& viewport) override;

private:
    InsertionReadout m_readout;
    std::vector<InsertionReadoutLine> m_lines; // the readout's text, made once per readout rather than per frame
};

} // namespace Kelvaros
