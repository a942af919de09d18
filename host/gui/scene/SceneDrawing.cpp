#include "gui/scene/SceneDrawing.h"

#include <algorithm>
#include <cmath>

#include <QOpenGLFunctions_3_3_Core>

#include <Eigen/Geometry>
#include <Eigen/LU>

#include "gl/Functions.h"
#include "gl/Pipeline.h"
#include "gl/TextRenderer.h"
#include "gl/VertexBuffer.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "SceneDrawing";
constexpr int kDiscSegments = 24;
constexpr double kPi = 3.14159265358979323846;
// Labels keep clear of the point they name, up and to the right.
const Eigen::Vector2d kLabelOffset(8.0, 4.0);

Eigen::Vector4d toClip(const GL::ViewState& view, const Eigen::Vector3d& world)
{
    return view.projection * (view.modelView * world.homogeneous());
}

// Window pixels of a clip-space point in front of the camera.
Eigen::Vector2d toPixels(const GL::ViewState& view, const Eigen::Vector4d& clip)
{
    const Eigen::Vector2d ndc = clip.head<2>() / clip.w();
    return { view.viewport.x + (ndc.x() + 1.0) * 0.5 * view.viewport.width,
             view.viewport.y + (ndc.y() + 1.0) * 0.5 * view.viewport.height };
}

// One line segment on the screen: clipped at the near plane (z = -w), in normalised device coordinates, with the
// unit normal of its direction in pixels.
struct ScreenPiece
{
    Eigen::Vector3d a, b;
    Eigen::Vector2d normal;
    bool visible = false;
};

std::vector<ScreenPiece> screenPieces(const GL::ViewState& view, const std::vector<Eigen::Vector3d>& lines)
{
    const Eigen::Vector2d halfViewport(0.5 * view.viewport.width, 0.5 * view.viewport.height);
    std::vector<ScreenPiece> pieces(lines.size() / 2);
    for (size_t i = 0; i < pieces.size(); ++i)
    {
        Eigen::Vector4d p0 = toClip(view, lines[2 * i]);
        Eigen::Vector4d p1 = toClip(view, lines[2 * i + 1]);
        const double d0 = p0.z() + p0.w();
        const double d1 = p1.z() + p1.w();
        if (d0 < 0.0 && d1 < 0.0)
            continue;
        if (d0 < 0.0 || d1 < 0.0)
            (d0 < 0.0 ? p0 : p1) = p0 + d0 / (d0 - d1) * (p1 - p0);
        ScreenPiece& piece = pieces[i];
        piece.a = p0.head<3>() / p0.w();
        piece.b = p1.head<3>() / p1.w();
        const Eigen::Vector2d direction = (piece.b - piece.a).head<2>().cwiseProduct(halfViewport);
        piece.normal =
          direction.norm() > 0.0 ? Eigen::Vector2d(-direction.y(), direction.x()).normalized() : Eigen::Vector2d(0, 1);
        piece.visible = true;
    }
    return pieces;
}

constexpr size_t kNoJoint = size_t(-1);

// For each piece, the piece it continues and the one continuing it (kNoJoint for none). A segment continues the
// one before it when it starts at that one's end (the same world point); a chain whose last end is its first start
// is closed. Joined pieces meet at the miter of their normals, so a wide polyline has neither notches nor overlaps.
struct Joints
{
    std::vector<size_t> previous;
    std::vector<size_t> next;
};

Joints chainJoints(const std::vector<ScreenPiece>& pieces, const std::vector<Eigen::Vector3d>& lines)
{
    const size_t count = pieces.size();
    const auto connects = [&](size_t first, size_t second)
    { return pieces[first].visible && pieces[second].visible && lines[2 * first + 1] == lines[2 * second]; };
    Joints joints{ std::vector<size_t>(count, kNoJoint), std::vector<size_t>(count, kNoJoint) };
    const auto join = [&](size_t first, size_t second)
    {
        joints.next[first] = second;
        joints.previous[second] = first;
    };
    size_t chainStart = 0;
    for (size_t i = 0; i < count; ++i)
    {
        if (i > 0 && connects(i - 1, i))
            join(i - 1, i);
        else
            chainStart = i;
        const bool chainEnd = i + 1 == count || !connects(i, i + 1);
        if (chainEnd && chainStart != i && connects(i, chainStart))
            join(i, chainStart);
    }
    return joints;
}
} // namespace

Eigen::Vector3d SceneDrawing::toWorld(const Eigen::Matrix4d& matrix, const Eigen::Vector3d& point)
{
    return (matrix * point.homogeneous()).hnormalized();
}

double SceneDrawing::worldLengthOfPixels(const RenderInfo& info, const Eigen::Vector3d& world, double pixels)
{
    // Move one unit along the eye's x axis and see how many pixels that covers there.
    const GL::ViewState& view = info.viewState;
    const Eigen::Vector4d eye = view.modelView * world.homogeneous();
    const Eigen::Vector4d clip0 = view.projection * eye;
    const Eigen::Vector4d clip1 = view.projection * (eye + Eigen::Vector4d(1, 0, 0, 0));
    if (clip0.w() <= 0.0 || clip1.w() <= 0.0)
        return pixels * info.mmPerPixel;
    const double pixelsPerUnit = (toPixels(view, clip1) - toPixels(view, clip0)).norm();
    // The eye frame may be scaled against the world; measure the world length of that eye unit.
    const Eigen::Matrix3d eyeToWorld = view.modelView.topLeftCorner<3, 3>().inverse();
    const double worldPerUnit = eyeToWorld.col(0).norm();
    return pixelsPerUnit > 0.0 ? pixels * worldPerUnit / pixelsPerUnit : pixels * info.mmPerPixel;
}

bool SceneDrawing::withinSlab(const RenderInfo& info, const Eigen::Vector3d& world)
{
    return std::abs(info.slice.signedDistance(world)) <= 0.5 * info.sliceThickness;
}

std::optional<Eigen::Vector3d> SceneDrawing::shownAt(const RenderInfo& info, const Eigen::Vector3d& world)
{
    if (!info.sliceView)
        return world;
    if (!withinSlab(info, world))
        return std::nullopt;
    return info.slice.project(world);
}

bool SceneDrawing::clipToSlab(const RenderInfo& info, Eigen::Vector3d& a, Eigen::Vector3d& b)
{
    const double half = 0.5 * info.sliceThickness;
    const double da = info.slice.signedDistance(a);
    const double db = info.slice.signedDistance(b);
    // Parametric clipping against the two planes at -half and +half.
    double t0 = 0.0;
    double t1 = 1.0;
    const double delta = db - da;
    for (const double bound : { -half, half })
    {
        const bool lower = bound < 0.0;
        const double outsideA = lower ? bound - da : da - bound;
        if (delta == 0.0)
        {
            if (outsideA > 0.0)
                return false;
            continue;
        }
        const double t = (bound - da) / delta;
        const bool entering = lower ? delta > 0.0 : delta < 0.0;
        if (entering)
            t0 = std::max(t0, t);
        else
            t1 = std::min(t1, t);
    }
    if (t0 > t1)
        return false;
    const Eigen::Vector3d clippedA = a + t0 * (b - a);
    const Eigen::Vector3d clippedB = a + t1 * (b - a);
    a = info.slice.project(clippedA);
    b = info.slice.project(clippedB);
    return true;
}

std::vector<Eigen::Vector3d> SceneDrawing::visibleSegments(const RenderInfo& info,
                                                           const std::vector<Eigen::Vector3d>& polyline, bool closed)
{
    std::vector<Eigen::Vector3d> lines;
    const size_t n = polyline.size();
    const size_t count = n < 2 ? 0 : (closed ? n : n - 1);
    for (size_t i = 0; i < count; ++i)
    {
        Eigen::Vector3d a = polyline[i];
        Eigen::Vector3d b = polyline[(i + 1) % n];
        if (info.sliceView && !clipToSlab(info, a, b))
            continue;
        lines.push_back(a);
        lines.push_back(b);
    }
    return lines;
}

std::vector<Eigen::Vector3d> SceneDrawing::dashes(const RenderInfo& info, const Eigen::Vector3d& a,
                                                  const Eigen::Vector3d& b, std::uint16_t pattern, double factor)
{
    const GL::ViewState& view = info.viewState;
    Eigen::Vector4d clipA = toClip(view, a);
    Eigen::Vector4d clipB = toClip(view, b);
    if (pattern == 0xFFFF || factor <= 0.0 || clipA.w() <= 0.0 || clipB.w() <= 0.0)
        return pattern == 0 ? std::vector<Eigen::Vector3d>{} : std::vector<Eigen::Vector3d>{ a, b };
    const double length = (toPixels(view, clipB) - toPixels(view, clipA)).norm();
    // A fraction s of the way on the screen is the fraction t = s wA / ((1 - s) wB + s wA) of the way in the world
    // (the perspective divide is not linear along the segment).
    const double wA = clipA.w();
    const double wB = clipB.w();
    const auto worldAt = [&](double pixels)
    {
        const double s = std::clamp(pixels / length, 0.0, 1.0);
        const double t = s * wA / ((1.0 - s) * wB + s * wA);
        return Eigen::Vector3d(a + t * (b - a));
    };
    std::vector<Eigen::Vector3d> lines;
    for (long step = 0; step * factor < length; ++step)
    {
        if (!(pattern & (1u << (step % 16))))
            continue;
        // Runs of set bits make one dash.
        long end = step + 1;
        while (end * factor < length && (pattern & (1u << (end % 16))))
            ++end;
        lines.push_back(worldAt(step * factor));
        lines.push_back(worldAt(end * factor));
        step = end;
    }
    return lines;
}

void SceneDrawing::appendDisc(const RenderInfo& info, const Eigen::Vector3d& centre, double diameter,
                              std::vector<Eigen::Vector3d>& triangles)
{
    // The eye's x and y axes in world space span the screen-aligned plane through the centre.
    const Eigen::Matrix3d eyeToWorld = info.viewState.modelView.topLeftCorner<3, 3>().inverse();
    const Eigen::Vector3d right = eyeToWorld.col(0).normalized();
    const Eigen::Vector3d up = eyeToWorld.col(1).normalized();
    const double radius = 0.5 * worldLengthOfPixels(info, centre, diameter);
    const auto rim = [&](int i)
    {
        const double angle = 2.0 * kPi * i / kDiscSegments;
        return Eigen::Vector3d(centre + radius * (std::cos(angle) * right + std::sin(angle) * up));
    };
    for (int i = 0; i < kDiscSegments; ++i)
    {
        triangles.push_back(centre);
        triangles.push_back(rim(i));
        triangles.push_back(rim(i + 1));
    }
}

void SceneDrawing::prepare(const RenderInfo& info, bool onTop, double alpha)
{
    QOpenGLFunctions_3_3_Core* f = GL::currentFunctions(kCategory);
    if (!f)
        return;
    const GL::Viewport& viewport = info.viewState.viewport;
    f->glViewport(viewport.x, viewport.y, viewport.width, viewport.height);
    if (info.sliceView || onTop)
        f->glDisable(GL_DEPTH_TEST);
    else
    {
        f->glEnable(GL_DEPTH_TEST);
        f->glDepthFunc(GL_LEQUAL);
    }
    f->glDisable(GL_CULL_FACE);
    if (alpha < 1.0)
    {
        f->glEnable(GL_BLEND);
        f->glBlendFuncSeparate(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
        // Transparent things do not hide what is drawn after them.
        f->glDepthMask(GL_FALSE);
    }
    else
    {
        f->glDisable(GL_BLEND);
        f->glDepthMask(GL_TRUE);
    }
}

void SceneDrawing::drawLines(GL::VertexBuffer& buffer, const RenderInfo& info,
                             const std::vector<Eigen::Vector3d>& lines, const Eigen::Vector4d& color, double width)
{
    if (width > 1.0)
    {
        // Already in normalised device coordinates: drawn with identity matrices.
        GL::ViewState ndc(info.viewState.viewport);
        if (!GL::Pipeline::enable(ndc, GL::Pipeline::UniformColor))
            return;
        const std::vector<Eigen::Vector3d> triangles = wideLineTriangles(info.viewState, lines, width);
        if (triangles.empty() || !buffer.setData(triangles))
            return;
        GL::Pipeline::setColor(color);
        buffer.draw(GL_TRIANGLES);
        return;
    }
    if (lines.empty() || !buffer.setData(lines))
        return;
    if (!GL::Pipeline::enable(info.viewState, GL::Pipeline::UniformColor))
        return;
    GL::Pipeline::setColor(color);
    buffer.draw(GL_LINES);
}

std::vector<Eigen::Vector3d> SceneDrawing::wideLineTriangles(const GL::ViewState& view,
                                                             const std::vector<Eigen::Vector3d>& lines, double width)
{
    const Eigen::Vector2d halfViewport(0.5 * view.viewport.width, 0.5 * view.viewport.height);
    const std::vector<ScreenPiece> pieces = screenPieces(view, lines);
    const Joints joints = chainJoints(pieces, lines);
    const auto offset = [&](const Eigen::Vector2d& normal, size_t neighbour)
    {
        Eigen::Vector2d pixels = 0.5 * width * normal;
        if (neighbour != kNoJoint)
        {
            // The miter; sharp turns fall back to the plain end, which a neighbour's quad covers well enough.
            const Eigen::Vector2d miter = (normal + pieces[neighbour].normal).normalized();
            const double cosine = miter.dot(normal);
            if (miter.allFinite() && cosine > 0.5)
                pixels = miter * (0.5 * width / cosine);
        }
        return Eigen::Vector3d(pixels.x() / halfViewport.x(), pixels.y() / halfViewport.y(), 0.0);
    };
    std::vector<Eigen::Vector3d> triangles;
    for (size_t i = 0; i < pieces.size(); ++i)
    {
        const ScreenPiece& piece = pieces[i];
        if (!piece.visible)
            continue;
        const Eigen::Vector3d offsetA = offset(piece.normal, joints.previous[i]);
        const Eigen::Vector3d offsetB = offset(piece.normal, joints.next[i]);
        for (const Eigen::Vector3d& corner : { Eigen::Vector3d(piece.a + offsetA), Eigen::Vector3d(piece.a - offsetA),
                                               Eigen::Vector3d(piece.b + offsetB), Eigen::Vector3d(piece.a - offsetA),
                                               Eigen::Vector3d(piece.b - offsetB), Eigen::Vector3d(piece.b + offsetB) })
            triangles.push_back(corner);
    }
    return triangles;
}

void SceneDrawing::drawTriangles(GL::VertexBuffer& buffer, const RenderInfo& info,
                                 const std::vector<Eigen::Vector3d>& triangles, const Eigen::Vector4d& color,
                                 const std::vector<Eigen::Vector3d>& normals)
{
    if (triangles.empty() || !buffer.setData(triangles, {}, normals))
        return;
    const int selection = normals.empty() ? GL::Pipeline::UniformColor : GL::Pipeline::UniformColorLit;
    if (!GL::Pipeline::enable(info.viewState, selection))
        return;
    GL::Pipeline::setColor(color);
    buffer.draw(GL_TRIANGLES);
}

void SceneDrawing::drawLabel(const RenderInfo& info, const std::string& text, const Eigen::Vector3d& world,
                             const Eigen::Vector4d& color)
{
    const GL::ViewState& view = info.viewState;
    const Eigen::Vector4d clip = toClip(view, world);
    if (text.empty() || clip.w() <= 0.0)
        return;
    const Eigen::Vector2d anchor =
      toPixels(view, clip) - Eigen::Vector2d(view.viewport.x, view.viewport.y) + kLabelOffset;
    GL::Font font;
    font.size = 13;
    font.bold = 1;
    // A one-pixel dark rim keeps the text legible on bright and dark images alike.
    font.rim = 1;
    font.rimColor = Eigen::Vector4d(0.0, 0.0, 0.0, 0.85 * color.w());
    font.color = color;
    GL::TextRenderer::render(view.viewport, text, anchor, font, GL::TextRenderer::Left, GL::TextRenderer::Bottom);
}

} // namespace Kelvaros
