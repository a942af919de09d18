#pragma once

#include <functional>
#include <memory>
#include <vector>

#include <Eigen/Core>

#include "gui/scene/Manipulator.h"

namespace Kelvaros
{

class DisplayWidgetMulti;
class GlPointBasedAnnotation;

/// Draws a new line or spline with the mouse in every view of a display: each left click adds a point where the
/// view shows it (ViewPosition::worldAt); a line is complete after two points, a spline on a double click or
/// Enter once it has two points; Escape cancels. Until then the points are shown as a preview in view group 0.
///
/// It registers itself with the display's views while it lives. The finish callback gets the drawn annotation, or
/// null when the drawing was cancelled; it may destroy this manipulator (nothing here is touched afterwards).
/// Main thread only; the display must outlive it.
class KELVAROS_API DrawingManipulator : public Manipulator
{
public:
    enum class Shape
    {
        Line,
        Spline
    };

    using FinishCallback = std::function<void(std::unique_ptr<GlPointBasedAnnotation>)>;

    DrawingManipulator(Shape shape, DisplayWidgetMulti& display, FinishCallback finish);
    ~DrawingManipulator() override;

    bool mousePress(QMouseEvent& event, InteractiveView& view) override;
    bool mouseDoubleClick(QMouseEvent& event, InteractiveView& view) override;
    bool keyPress(QKeyEvent& event, InteractiveView& view) override;

    [[nodiscard]] Shape shape() const { return m_shape; }
    /// The points placed so far (world, mm).
    [[nodiscard]] const std::vector<Eigen::Vector3d>& points() const;

private:
    /// Hands the drawing (or null) to the callback; the last thing any handler does.
    void finish(bool keep);

    Shape m_shape;
    DisplayWidgetMulti& m_display;
    FinishCallback m_finish;
    std::unique_ptr<GlPointBasedAnnotation> m_preview;
};

} // namespace Kelvaros
