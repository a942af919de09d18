#include "CalibrationAnimations.h"

#include <algorithm>
#include <cmath>

#include <QPainter>
#include <QQuaternion>

#include "Illustration.h"

namespace Kelvaros::Tools
{

namespace
{

constexpr float kPi = 3.14159265358979f;

const QColor kBackground(0xF4F6F9);
const QColor kOutline(0x1E252E);
const QColor kFloor(0xDDE2E9);
const QColor kGuide(0xF08A24);
const QColor kContact(0x24A860);
const QColor kDivotShadow(0x2B3644);
const QColor kDivotWall(0x5A6B80);
const Material kSteel{ QColor(0x5E6670), QColor(0x8B95A0), QColor(0xBCC5CE), QColor(0xEEF2F5) };
const Material kGrip{ QColor(0x1B4A80), QColor(0x2C68AE), QColor(0x4D8BD3), QColor(0x93C0EE) };
const Material kTip{ QColor(0x9E2420), QColor(0xD23B34), QColor(0xEE6A5E), QColor(0xFFB3A8) };
const Material kBlock{ QColor(0x56657A), QColor(0x7A8BA1), QColor(0xA3B2C5), QColor(0xCBD6E3) };
const Material kFrame{ QColor(0x353D47), QColor(0x4E5864), QColor(0x6C7785), QColor(0x9AA4B0) };
const Material kMarker{ QColor(0x8C96A1), QColor(0xD5DBE1), QColor(0xD5DBE1), QColor(0xFFFFFF) };

// Scene units are roughly millimetres, with the thin parts drawn thicker than life: the animation is shown at
// about a third of its size, where a true-to-scale shaft would vanish.
constexpr float kAzimuth = 30;
constexpr float kOutlineWidth = 7;
constexpr float kGuideWidth = 18;
constexpr float kDivotDepth = 6; // the tip rests this far below the top of the block
constexpr float kDivotRadius = 13;
constexpr float kBlockRadius = 48;
constexpr float kBlockHeight = 34;
constexpr float kToolTop = 218;     // end of the grip, measured from the tip
constexpr float kGuideHeight = 100; // height of the turning arrows above the tip
constexpr float kGuideRadius = 40;

const Illustration::View kView{ kAzimuth, 28,           2.7f, QPointF(512, 800), QVector3D(-0.5f, -0.9f, 1.1f),
                                kOutline, kOutlineWidth };

/// Where the tool is: its frame turned by `rotation`, its tip at `tip`.
struct Pose
{
    QQuaternion rotation;
    QVector3D tip;

    [[nodiscard]] QVector3D apply(const QVector3D& p) const { return tip + rotation.rotatedVector(p); }
};

float smooth(float t)
{
    t = std::clamp(t, 0.0f, 1.0f);
    return t * t * (3 - 2 * t);
}

/// Turn about the vertical that shows the marker frame (on the tool's +x side) square to the viewer.
QQuaternion facingViewer(float extraDegrees = 0)
{
    return QQuaternion::fromAxisAndAngle(0, 0, 1, kAzimuth + extraDegrees);
}

/// A tracked pointer in its own frame: the tip at the origin, the shaft along +z, a grip, and a frame of four
/// marker spheres on one side, whose asymmetry shows every turn of the tool.
std::vector<Solid> pointer(const Pose& pose)
{
    const auto at = [&pose](float x, float z) { return pose.apply(QVector3D(x, 0, z)); };
    std::vector<Solid> solids{
        { Solid::Frustum, at(0, 0), at(0, 20), 0.6f, 3.6f, &kTip },
        { Solid::Frustum, at(0, 20), at(0, 118), 3.6f, 3.6f, &kSteel },
        { Solid::Frustum, at(0, 118), at(0, 130), 3.6f, 9.0f, &kSteel },
        { Solid::Frustum, at(0, 130), at(0, kToolTop - 6), 9.0f, 9.0f, &kGrip },
        { Solid::Frustum, at(0, kToolTop - 6), at(0, kToolTop), 9.0f, 6.5f, &kGrip },
    };
    const QVector3D hub = at(9, 182);
    for (const QVector3D& marker : { at(32, 140), at(66, 168), at(42, 214), at(84, 226) })
    {
        solids.push_back({ Solid::Frustum, hub, marker, 3.0f, 3.0f, &kFrame });
        solids.push_back({ Solid::Sphere, marker, marker, 10.0f, 10.0f, &kMarker });
    }
    return solids;
}

/// The calibration dip: a round block on the table with a conical divot in the middle of its top.
void drawBlock(Illustration& scene, QPainter& painter)
{
    const QVector3D up(0, 0, 1);
    scene.disc(QVector3D(0, 0, -kBlockHeight), up, 1.35f * kBlockRadius, kFloor, Qt::NoPen);
    scene.frustum(QVector3D(0, 0, -kBlockHeight), QVector3D(), kBlockRadius, kBlockRadius, kBlock);
    // Inside the divot the far wall faces the viewer and the light; the lower part lies in the rim's shadow.
    const QPainterPath rim = scene.circle(QVector3D(), up, kDivotRadius);
    painter.save();
    painter.setClipPath(rim);
    scene.disc(QVector3D(), up, kDivotRadius, kDivotWall, Qt::NoPen);
    scene.disc(QVector3D(0, 0, -kDivotDepth), up, 0.9f * kDivotRadius, kDivotShadow, Qt::NoPen);
    painter.restore();
    scene.disc(QVector3D(), up, kDivotRadius, Qt::NoBrush, QPen(kOutline, 0.6 * kOutlineWidth));
}

/// An arc about the tool's axis at `height` above the tip: `back` draws the part behind the axis (before the tool
/// is drawn), otherwise the part in front.
void turnArrow(Illustration& scene, const Pose& pose, float height, float from, float to, bool back)
{
    const QVector3D centre = pose.apply(QVector3D(0, 0, height));
    const QVector3D u = pose.rotation.rotatedVector(QVector3D(1, 0, 0));
    const QVector3D v = pose.rotation.rotatedVector(QVector3D(0, 1, 0));
    scene.arcArrow(centre, u, v, kGuideRadius, from, to, back ? -1 : 1, kGuide, kGuideWidth);
}

/// A straight arrow beside the tool, on the viewer's left, from `fromHeight` to `toHeight` above the tip.
void sideArrow(Illustration& scene, const Pose& pose, float fromHeight, float toHeight)
{
    const QVector3D base = pose.tip - 55 * scene.right();
    QPolygonF line;
    line << scene.project(base + QVector3D(0, 0, fromHeight)) << scene.project(base + QVector3D(0, 0, toHeight));
    scene.arrow(line, kGuide, kGuideWidth, true);
}

const QVector3D kRestingTip(0, 0, -kDivotDepth);

/// The angle about the tool's axis, in its own frame, of the side that faces the viewer.
float frontAngle(const Illustration& scene, const Pose& pose)
{
    const QVector3D towards = pose.rotation.conjugated().rotatedVector(scene.towardsViewer());
    return std::atan2(towards.y(), towards.x());
}

void drawPivoting(Illustration& scene, QPainter& painter, float phase)
{
    // The axis sweeps a cone of half-angle 26 degrees about the vertical through the divot. The tool tilts about a
    // horizontal axis without spinning, as a hand pivots it.
    const float tilt = 26;
    const float azimuth = kPi + 2 * kPi * phase;
    const QVector3D tiltAxis(-std::sin(azimuth), std::cos(azimuth), 0);
    const Pose pose{ QQuaternion::fromAxisAndAngle(tiltAxis, tilt) * facingViewer(), kRestingTip };
    // The path of the grip's end, dashed, and an arrow running ahead of the tool along it.
    const float tiltRadians = tilt * kPi / 180;
    const QVector3D centre = kRestingTip + QVector3D(0, 0, kToolTop * std::cos(tiltRadians));
    const float radius = kToolTop * std::sin(tiltRadians);
    const QVector3D x(1, 0, 0), y(0, 1, 0);
    const auto drawGuides = [&](int side)
    {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(kGuide, 0.45 * kGuideWidth, Qt::DashLine, Qt::FlatCap));
        for (const QPolygonF& run : scene.arc(centre, x, y, radius, 0, 2 * kPi, side))
            painter.drawPolyline(run);
        scene.arcArrow(centre, x, y, radius, azimuth + 0.3f, azimuth + 1.2f, side, kGuide, kGuideWidth);
    };
    drawGuides(-1);
    scene.draw(pointer(pose));
    drawGuides(1);
}

void drawRotation(Illustration& scene, float phase)
{
    const Pose pose{ facingViewer(360 * phase), kRestingTip };
    // The arrow stays put while the tool turns under it: fixed in the scene, so drawn with the resting frame.
    const Pose still{ facingViewer(), kRestingTip };
    const float end = frontAngle(scene, still) + 0.6f;
    turnArrow(scene, still, kGuideHeight, end - 1.7f * kPi, end, true);
    scene.draw(pointer(pose));
    turnArrow(scene, still, kGuideHeight, end - 1.7f * kPi, end, false);
}

void drawFlip(Illustration& scene, float phase)
{
    // Two flips per loop: each lifts the tool out of the divot, turns it by half a revolution about its axis and
    // sets it down again, so that the loop closes after a full turn.
    const float half = 2 * phase;
    const int flip = int(half);
    const float t = half - flip;
    const float lift = t < 0.5f ? smooth(t / 0.2f) : 1 - smooth((t - 0.7f) / 0.2f);
    const float turn = smooth((t - 0.25f) / 0.4f);
    const Pose pose{ facingViewer(180 * (flip + turn)), kRestingTip + QVector3D(0, 0, 42 * lift) };
    const bool turning = t > 0.15f && t < 0.75f;
    const Pose before{ facingViewer(180 * flip), pose.tip };
    // Half a turn that ends in front of the axis, where its head shows.
    const float start = frontAngle(scene, before) + 0.4f - kPi;
    if (turning)
        turnArrow(scene, before, kGuideHeight, start, start + kPi, true);
    scene.draw(pointer(pose));
    if (turning)
        turnArrow(scene, before, kGuideHeight, start, start + kPi, false);
    if (t < 0.22f)
        sideArrow(scene, pose, 40, 110);
    else if (t > 0.68f && t < 0.92f)
        sideArrow(scene, pose, 110, 40);
}

void drawDip(Illustration& scene, int frame)
{
    // Held above the divot, lowered along the axis, resting; a ring spreads from the divot as the tip lands.
    const float height = frame <= 3 ? 1.0f : 1 - smooth((frame - 4) / 16.0f);
    const Pose pose{ facingViewer(), kRestingTip + QVector3D(0, 0, 85 * height) };
    const int landed = frame - 21;
    if (landed >= 0 && landed < 8)
        scene.disc(QVector3D(0, 0, 0), QVector3D(0, 0, 1), kDivotRadius + 4 + 4.0f * landed, Qt::NoBrush,
                   QPen(kContact, kGuideWidth * (1 - landed / 10.0f)));
    scene.draw(pointer(pose));
    if (frame <= 20)
        sideArrow(scene, pose, 120, 45);
}

} // namespace

std::vector<CalibrationAnimations::Animation> CalibrationAnimations::all()
{
    return {
        { "pivoting.gif", Motion::Pivoting, 121, 5 },
        { "flip.gif", Motion::Flip, 61, 10 },
        { "rotation.gif", Motion::Rotation, 61, 10 },
        { "dip.gif", Motion::Dip, 31, 10 },
    };
}

std::vector<QRgb> CalibrationAnimations::keyColors()
{
    std::vector<QRgb> keys{ kBackground.rgb(), kOutline.rgb(),     kFloor.rgb(),    kGuide.rgb(),
                            kContact.rgb(),    kDivotShadow.rgb(), kDivotWall.rgb() };
    for (const Material* m : { &kSteel, &kGrip, &kTip, &kBlock, &kFrame, &kMarker })
        for (const QColor& c : { m->dark, m->mid, m->light, m->highlight })
            if (std::find(keys.begin(), keys.end(), c.rgb()) == keys.end())
                keys.push_back(c.rgb());
    return keys;
}

QImage CalibrationAnimations::frame(Motion motion, int frame, int frames)
{
    QImage image(kSize, kSize, QImage::Format_RGB32);
    image.fill(kBackground);
    QPainter painter(&image);
    Illustration scene(painter, kView);
    drawBlock(scene, painter);
    const float phase = float(frame) / float(frames);
    switch (motion)
    {
        case Motion::Pivoting:
            drawPivoting(scene, painter, phase);
            break;
        case Motion::Flip:
            drawFlip(scene, phase);
            break;
        case Motion::Rotation:
            drawRotation(scene, phase);
            break;
        case Motion::Dip:
            drawDip(scene, frame);
            break;
    }
    return image;
}

} // namespace Kelvaros::Tools
