#pragma once

#include "gui/scene/GlPointBasedAnnotation.h"

namespace Kelvaros
{

/// An arrow from its first point to its second: a shaft of the line width and a shaded cone head whose size is
/// fixed in screen pixels, so it reads at any zoom. The label stands at the head and, unless switched off, shows the
/// arrow's length (after the label text, when there is one). Slice views show the shaft within the slab and the
/// head when the tip lies in it. Main thread only.
class KELVAROS_API GlArrow : public GlPointBasedAnnotation
{
public:
    using GlPointBasedAnnotation::GlPointBasedAnnotation;

    [[nodiscard]] bool showLength() const { return m_showLength; }
    void setShowLength(bool show);

protected:
    void renderGeometry(const RenderInfo& info) override;
    [[nodiscard]] std::optional<Eigen::Vector3d> labelAnchor(const RenderInfo& info) const override;
    [[nodiscard]] std::string shownLabel() const override;

private:
    void renderHead(const RenderInfo& info, const Eigen::Vector3d& tip, const Eigen::Vector3d& direction, double length,
                    double radius);

    bool m_showLength = true;
};

} // namespace Kelvaros
