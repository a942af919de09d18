#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "gui/scene/RenderInfo.h"

namespace Kelvaros
{

namespace GL
{
class VertexBuffer;
}

/// Drawing steps the scene objects share (internal to KelvarosGui). Line lists hold segments as consecutive
/// pairs of world points.
///
/// Slice views show the part of a line within the slab of half the slice thickness on either side of the plane.
/// The clipping is done on the CPU and the clipped part is projected onto the plane: everything a slice view
/// shows then lies exactly in its plane, so the view's near and far planes cannot cut it away and nothing depends on
/// the depth buffer there.
class SceneDrawing
{
public:
    /// Object → world of a point.
    [[nodiscard]] static Eigen::Vector3d toWorld(const Eigen::Matrix4d& matrix, const Eigen::Vector3d& point);

    /// World length that covers `pixels` on the screen at a world point (perspective views shrink with depth).
    [[nodiscard]] static double worldLengthOfPixels(const RenderInfo& info, const Eigen::Vector3d& world,
                                                    double pixels);

    /// Whether a world point lies within half the slice thickness of a slice view's plane.
    [[nodiscard]] static bool withinSlab(const RenderInfo& info, const Eigen::Vector3d& world);
    /// Where a view shows a world point: the point itself in 3D views; in slice views its foot on the plane, or
    /// nothing when it lies outside the slab.
    [[nodiscard]] static std::optional<Eigen::Vector3d> shownAt(const RenderInfo& info, const Eigen::Vector3d& world);
    /// Clips the segment a-b to the slab and projects what is left onto the plane; false when nothing is left.
    [[nodiscard]] static bool clipToSlab(const RenderInfo& info, Eigen::Vector3d& a, Eigen::Vector3d& b);
    /// What a view shows of a polyline (world points, `closed` joins the last to the first): the segments as they
    /// are in 3D views, clipped and projected in slice views.
    [[nodiscard]] static std::vector<Eigen::Vector3d> visibleSegments(const RenderInfo& info,
                                                                      const std::vector<Eigen::Vector3d>& polyline,
                                                                      bool closed);

    /// The dashes of the segment a-b: the 16 bits of `pattern`, least significant first, each `factor` pixels
    /// long along the segment's projection, repeated; set bits are drawn.
    [[nodiscard]] static std::vector<Eigen::Vector3d> dashes(const RenderInfo& info, const Eigen::Vector3d& a,
                                                             const Eigen::Vector3d& b, std::uint16_t pattern,
                                                             double factor);

    /// Appends triangles of a screen-aligned disc of `diameter` pixels centred at a world point.
    static void appendDisc(const RenderInfo& info, const Eigen::Vector3d& centre, double diameter,
                           std::vector<Eigen::Vector3d>& triangles);

    /// Sets the viewport, the depth test for an object's draws (on in 3D views unless `onTop`, off in slice views,
    /// where all lies in the plane) and blending for colours with alpha below 1. Call inside a StateGuard.
    static void prepare(const RenderInfo& info, bool onTop, double alpha);
    /// Draws world line segments, or triangles, in one colour through the host pipeline. Lines wider than a pixel
    /// are built here as screen-space quads joined by miters where one segment starts at the previous one's end.
    static void drawLines(GL::VertexBuffer& buffer, const RenderInfo& info, const std::vector<Eigen::Vector3d>& lines,
                          const Eigen::Vector4d& color, double width);
    static void drawTriangles(GL::VertexBuffer& buffer, const RenderInfo& info,
                              const std::vector<Eigen::Vector3d>& triangles, const Eigen::Vector4d& color,
                              const std::vector<Eigen::Vector3d>& normals = {});

    /// Triangles (normalised device coordinates) covering `width` pixels across each segment.
    [[nodiscard]] static std::vector<Eigen::Vector3d> wideLineTriangles(const GL::ViewState& view,
                                                                        const std::vector<Eigen::Vector3d>& lines,
                                                                        double width);

    /// Draws `text` next to a world point in `color`, with a dark outline so that it reads on any background;
    /// nothing when the point is behind the camera.
    static void drawLabel(const RenderInfo& info, const std::string& text, const Eigen::Vector3d& world,
                          const Eigen::Vector4d& color);
};

} // namespace Kelvaros
