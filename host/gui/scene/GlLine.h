#pragma once

#include <cstdint>

#include "gui/scene/GlPointBasedAnnotation.h"

namespace Kelvaros
{

/// A straight line between its first two points, with handles at the ends. Slice views show the part within the
/// slab, projected onto the plane, and the end points that lie within it. The label shows the length ("12.3 mm")
/// unless a label text is set. Main thread only.
class KELVAROS_API GlLine : public GlPointBasedAnnotation
{
public:
    using GlPointBasedAnnotation::GlPointBasedAnnotation;

    /// Dashes: the 16 bits of the pattern, least significant first, each lineStippleFactor pixels long along the
    /// line on the screen, repeated; 0xFFFF is a solid line. Written directly; a repaint shows the change.
    std::uint16_t lineStipplePattern = 0xFFFF;
    double lineStippleFactor = 1.0;

    /// World length between the two points (0 with fewer points).
    [[nodiscard]] double length() const;

protected:
    void renderGeometry(const RenderInfo& info) override;
    [[nodiscard]] std::optional<Eigen::Vector3d> labelAnchor(const RenderInfo& info) const override;
    [[nodiscard]] std::string shownLabel() const override;
};

} // namespace Kelvaros
