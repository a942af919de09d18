#pragma once

#include <memory>
#include <optional>
#include <string>

#include "core/Export.h"
#include "gui/scene/GlObject.h"

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}

/// A drawn annotation: geometry in one colour with a text label next to it. The label is drawn in the
/// annotation's colour with a dark rim, beside the annotation's anchor point as the view projects it.
///
/// Sizes: line width and point size (the diameter of handles at control points; below one pixel none are drawn)
/// are in screen pixels. Main thread only.
class KELVAROS_API GlAnnotation : public GlObject
{
public:
    explicit GlAnnotation(std::string name = {});
    ~GlAnnotation() override;

    /// The label's text; an empty text lets the annotation show its default (a length, for the measuring kinds).
    [[nodiscard]] const std::string& labelText() const { return m_labelText; }
    void setLabelText(std::string text);
    [[nodiscard]] bool labelVisible() const { return m_labelVisible; }
    void setLabelVisible(bool visible);

    /// RGB in [0, 1]; default white.
    [[nodiscard]] const Eigen::Vector3d& color() const { return m_color; }
    void setColor(const Eigen::Vector3d& rgb);
    /// Opacity in [0, 1]; below 1 the annotation is blended over what lies behind it.
    [[nodiscard]] double alpha() const { return m_alpha; }
    void setAlpha(double alpha);
    [[nodiscard]] double lineWidth() const { return m_lineWidth; }
    void setLineWidth(double pixels);
    [[nodiscard]] double pointSize() const { return m_pointSize; }
    void setPointSize(double pixels);

    void render(const RenderInfo& info) final;
    [[nodiscard]] bool isTransparent() const override { return m_alpha < 1.0; }

protected:
    /// Draws the geometry (the state is guarded and prepared: depth test by view kind, blending by alpha).
    virtual void renderGeometry(const RenderInfo& info) = 0;
    /// World point the label is drawn beside; none when the label has nothing to stand next to in this view.
    [[nodiscard]] virtual std::optional<Eigen::Vector3d> labelAnchor(const RenderInfo& info) const = 0;
    /// The text the label shows: the label text, unless a kind of annotation adds to it or has a default.
    [[nodiscard]] virtual std::string shownLabel() const { return m_labelText; }
    /// Draws without the depth test (GlPoint's always-visible dots).
    [[nodiscard]] virtual bool drawnOnTop() const { return false; }

    [[nodiscard]] Eigen::Vector4d rgba() const;
    /// A buffer for the geometry, refilled each frame (annotations are small).
    [[nodiscard]] GL::VertexBuffer& buffer() { return *m_buffer; }

private:
    std::string m_labelText;
    bool m_labelVisible = true;
    Eigen::Vector3d m_color = Eigen::Vector3d::Ones();
    double m_alpha = 1.0;
    double m_lineWidth = 2.0;
    double m_pointSize = 6.0;
    std::unique_ptr<GL::VertexBuffer> m_buffer;
};

} // namespace Kelvaros
