#pragma once

#include <cstddef>

#include <Eigen/Core>

#include "core/Export.h"
#include "gl/ViewState.h"

namespace Kelvaros::GL
{

/// The host's stand-in for OpenGL's fixed-function pipeline, a set of shader programs compiled once per context.
/// Enabling it stores a view state, a shader selection, a uniform colour and a line width in the current context;
/// VertexBuffer::draw then picks the program that fits the primitive and the buffer's attributes.
///
/// Shader selection values (bit 0: colour per vertex, bit 1: lighting):
/// - 0 UniformColor: every vertex in the uniform colour (setColor), unlit.
/// - 1 VertexColor: the buffer's per-vertex colours, unlit (a buffer without colours falls back to the uniform
///   colour).
/// - 2 UniformColorLit, 3 VertexColorLit: as 0 and 1, shaded by a head light (a directional light along the view
///   direction, both faces lit) from the buffer's normals; unlit when the buffer has no normals.
///
/// Lines wider than one pixel are expanded into screen-space quads by a geometry shader (core profiles need not
/// support glLineWidth above 1): a line of width w covers w pixels across, with flat ends at its end points.
///
/// All functions act on the context current on the calling thread; without one they log an Error and do nothing.
class KELVAROS_API Pipeline
{
public:
    enum Selection : int
    {
        UniformColor = 0,
        VertexColor = 1,
        UniformColorLit = 2,
        VertexColorLit = 3
    };

    /// The pipeline settings of one context.
    struct State
    {
        bool enabled = false;
        ViewState viewState;
        int selection = VertexColor;
        Eigen::Vector4f color = Eigen::Vector4f::Ones();
        float lineWidth = 1.0f;
    };

    /// Enables the pipeline for the following draws with this view state and shader selection, and sets the
    /// OpenGL viewport to the view state's (a StateGuard around the drawing puts it back). The third argument
    /// is reserved for order-independent transparency, which the host does not offer yet. Returns false (Error in
    /// the log) for an unknown selection value or without a usable context.
    static bool enable(const ViewState& viewState, int selection,
                       std::nullptr_t orderIndependentTransparency = nullptr);
    /// Turns the pipeline off; VertexBuffer::draw refuses to draw until it is enabled again.
    static void disable();
    /// Line width in pixels for the following line draws (values below 1 count as 1).
    static void setLineWidth(double pixels);
    /// The uniform colour, RGBA in [0, 1], for the selections without per-vertex colours.
    static void setColor(const Eigen::Vector4d& rgba);

    /// The current context's settings (defaults when there is no context), and their replacement (StateGuard
    /// uses both).
    [[nodiscard]] static State state();
    static void setState(const State& state);
};

} // namespace Kelvaros::GL
