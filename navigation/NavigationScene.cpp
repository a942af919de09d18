#include "navigation/NavigationScene.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include <QByteArray>
#include <QFile>

#include "core/Log.h"
#include "gui/scene/GlCircle.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/scene/Manipulator.h"
#include "gui/view/Animations.h"
#include "gui/view/GlView.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshIO.h"
#include "stream/TrackingStream.h"

#include "navigation/ToolNavigationVisualizationAlgorithm.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{
namespace
{
namespace Geometry = NavigationPathGeometry;

const std::string kLogCategory;
constexpr int kGlideMs = 500;
constexpr int kLinearEasing = 0;
constexpr int kSphereSubdivisions = 32;
constexpr double kSphereAlpha = 0.5;
constexpr double kTiltedNeedleAlpha = 0.5;
const Eigen::Vector3d kWhite(1.0, 1.0, 1.0);
const Eigen::Vector3d kRed(1.0, 0.0, 0.0);
const Eigen::Vector3d kGreen(0.0, 1.0, 0.0);
const Eigen::Vector3d kCyan(0.0, 1.0, 1.0);
// A tip ring that cannot say whether the needle is on the path.
const Eigen::Vector3d kGrey(0.55, 0.55, 0.55);
const Eigen::Vector3d kLineColour(1.0, 0.85, 0.2);

Eigen::Vector3d translationOf(const Eigen::Matrix4d& pose)
{
    return pose.block<3, 1>(0, 3);
}

GlMesh& meshOf(const InteractiveObject& object)
{
    return static_cast<GlMesh&>(*object.graphicsObject());
}

/// Window pixels between two world points as the view projects them; 0 when one lies behind the eye.
double pixelsApart(const GL::ViewState& view, const Eigen::Vector3d& a, const Eigen::Vector3d& b)
{
    const Eigen::Matrix4d toClip = view.projection * view.modelView;
    const Eigen::Vector4d clipA = toClip * a.homogeneous();
    const Eigen::Vector4d clipB = toClip * b.homogeneous();
    if (clipA.w() <= 0.0 || clipB.w() <= 0.0)
        return 0.0;
    const Eigen::Vector2d ndc = clipA.head<2>() / clipA.w() - clipB.head<2>() / clipB.w();
    return std::hypot(0.5 * ndc.x() * view.viewport.width, 0.5 * ndc.y() * view.viewport.height);
}
} // namespace

/// The line from the tip ring's centre to the needle tip, labelled with its length. In the 3D view the label stands
/// on the tip ring's rim where the view shows it farthest from the tip, and some label widths off the ring's centre
/// at any zoom: at the line's middle it would cover the tip, and the needle's name that the tracking stream writes
/// there.
class NavigationCenterLine final : public GlSpline
{
public:
    NavigationCenterLine() : GlSpline("Center line") {}

    void setLine(const GlCircle& ring, const Eigen::Vector3d& tip)
    {
        m_ringCentre = ring.centre();
        m_ringAxes = { ring.axisA(), ring.axisB() };
        m_ringRadius = ring.radius();
        setPoints({ ring.centre(), tip });
    }

protected:
    std::optional<Eigen::Vector3d> labelAnchor(const RenderInfo& info) const override
    {
        if (info.sliceView || points().size() < 2)
            return GlSpline::labelAnchor(info);
        return Geometry::clearestRimPoint(
          m_ringCentre, m_ringAxes, std::max(m_ringRadius, kClearancePixels * info.mmPerPixel), points().back(),
          [&info](const Eigen::Vector3d& a, const Eigen::Vector3d& b) { return pixelsApart(info.viewState, a, b); });
    }

private:
    static constexpr double kClearancePixels = 60.0;
    Eigen::Vector3d m_ringCentre = Eigen::Vector3d::Zero();
    Geometry::Axes m_ringAxes;
    double m_ringRadius = 0.0;
};

NavigationScene::NavigationScene(ToolNavigationVisualizationAlgorithm& algorithm, GlView& view,
                                 ManipulatorFactory manipulators)
  : m_algorithm(algorithm),
    m_view(view),
    m_manipulators(std::move(manipulators)),
    m_centerLine(std::make_unique<NavigationCenterLine>())
{
    loadToolMesh();
    m_centerLine->setColor(kLineColour);
    m_centerLine->setPointSize(0.0);
    m_view.addObject(m_centerLine.get());
    applyLineVisibility();
}

NavigationScene::~NavigationScene()
{
    disconnectAll();
    // The glide's callback holds this scene.
    if (m_ringGlide)
        m_ringGlide->stop();
    clearPath();
    if (m_toolMesh)
        m_view.removeObject(m_toolMesh->graphicsObject());
    m_view.removeObject(m_centerLine.get());
}

void NavigationScene::loadToolMesh()
{
    QFile file(QString::fromStdString(m_algorithm.p_toolMeshPath.value()));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const QByteArray bytes = file.readAll();
    std::shared_ptr<Mesh> mesh =
      MeshIO::load(bytes.constData(), std::size_t(bytes.size()), file.fileName().toStdString());
    if (!mesh)
        return;
    mesh->computeVertexNormals(Mesh::AngleAndArea);
    m_toolMesh = std::make_unique<InteractiveObject>(std::make_unique<GlMesh>(std::move(mesh), "Needle"),
                                                     m_manipulators ? m_manipulators() : nullptr);
    m_view.addObject(m_toolMesh->graphicsObject());
}

void NavigationScene::setSettings(const NavigationSettings& settings)
{
    const NavigationSettings old = m_settings;
    m_settings = settings;
    if (settings.ringsNumber != old.ringsNumber)
        createRings();
    else if (settings.pathSeparation != old.pathSeparation)
        placeRings();
    else if (settings.targetRadius != old.targetRadius || settings.pathType != old.pathType ||
             settings.pathGrowth != old.pathGrowth)
        updateTargetSphere();
    applyRingVisibility();
    applyLineVisibility();
}

bool NavigationScene::selectSpline(GlSpline* spline, const SharedImageSet* image)
{
    dropSpline();
    if (!spline)
    {
        Log::log(Log::Error, kLogCategory, "Couldn't find a spline to calculate the limits");
        return false;
    }
    if (spline->points().empty())
    {
        Log::log(Log::Error, kLogCategory, "An invalid or empty spline was selected");
        return false;
    }
    m_spline = spline;
    m_planImage = image;
    // The path's own length label would stand beside the centre line's distance label near the tip ring, and the
    // distance bar tells what is left of the path: hidden while the path guides, shown again when it is let go.
    m_splineLabelWasVisible = spline->labelVisible();
    spline->setLabelVisible(false);
    m_splineConnections.push_back(spline->signalChanged.connect(this, &NavigationScene::onSplineChanged));
    m_splineConnections.push_back(
      spline->signalDestroyed.connect(this, [this](const GlObject*) { onSplineDestroyed(); }));
    rebuildPath();
    return true;
}

void NavigationScene::dropSpline()
{
    for (SignalConnection& connection : m_splineConnections)
        connection.disconnect();
    m_splineConnections.clear();
    if (m_spline)
        m_spline->setLabelVisible(m_splineLabelWasVisible);
    m_spline = nullptr;
    m_planImage = nullptr;
    clearPath();
}

void NavigationScene::rebuildPath()
{
    removeTipRing();
    m_splinePoints = m_spline->points();
    createRings();
    applyRingVisibility();
}

void NavigationScene::removeTipRing()
{
    if (m_tipRing)
        m_view.removeObject(m_tipRing.get());
    m_tipRing.reset();
}

void NavigationScene::clearPath()
{
    removeRings();
    removeTipRing();
    if (m_targetSphere)
        m_view.removeObject(m_targetSphere->graphicsObject());
    m_targetSphere.reset();
    m_splinePoints.clear();
    m_status = TargetStatus::Outside;
}

void NavigationScene::removeRings()
{
    for (const auto& ring : m_rings)
        m_view.removeObject(ring.get());
    m_rings.clear();
    m_lastRing.reset();
}

std::unique_ptr<GlCircle> NavigationScene::makeRing(const Eigen::Vector3d& colour, double lineWidth)
{
    if (m_splinePoints.size() < 2)
        return nullptr;
    auto ring = std::make_unique<GlCircle>();
    ring->setLabelVisible(false);
    ring->setPointSize(0.0);
    ring->setLineWidth(lineWidth);
    ring->setColor(colour);
    m_view.addObject(ring.get());
    return ring;
}

void NavigationScene::createRings()
{
    removeRings();
    if (!m_spline)
        return;
    if (m_splinePoints.size() < 2)
    {
        Log::log(Log::Error, kLogCategory, "Not enough points on spline to create a circle.");
        updateTargetSphere();
        return;
    }
    if (!m_tipRing)
    {
        m_tipRing = makeRing(kRed, 5.0);
        moveTipRing(m_needle ? translationOf(*m_needle) : Eigen::Vector3d::Zero());
    }
    for (int i = 0; i < m_settings.ringsNumber; ++i)
        m_rings.push_back(makeRing(kWhite, 3.0));
    placeRings();
}

void NavigationScene::placeRings()
{
    if (!m_spline)
        return;
    const std::vector<double> coordinates = Geometry::ringCoordinates(int(m_rings.size()), m_settings.pathSeparation);
    for (std::size_t i = 0; i < m_rings.size(); ++i)
    {
        // Spline coordinates, not arc lengths: segments between close control points get rings as close.
        const Geometry::Axes axes = Geometry::perpendicularAxes(m_spline->evaluateTangent(coordinates[i]));
        m_rings[i]->setCircle(m_spline->evaluate(coordinates[i]), axes.a, axes.b);
    }
    m_lastRing.reset();
    updateTargetSphere();
}

void NavigationScene::updateTargetSphere()
{
    if (m_splinePoints.empty())
        return;
    std::shared_ptr<Mesh> sphere = MeshCreator::createSphere(m_settings.targetRadius, kSphereSubdivisions, false);
    if (!m_targetSphere)
    {
        m_targetSphere = std::make_unique<InteractiveObject>(std::make_unique<GlMesh>(sphere, "Target"),
                                                             m_manipulators ? m_manipulators() : nullptr);
        GlMesh& mesh = meshOf(*m_targetSphere);
        mesh.setRenderMode3d(0);
        mesh.setAlpha(kSphereAlpha);
        mesh.setColor(m_status == TargetStatus::InsideTarget ? kCyan : kWhite);
        m_view.addObject(&mesh);
    }
    GlMesh& mesh = meshOf(*m_targetSphere);
    mesh.setMesh(std::move(sphere));
    Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
    pose.block<3, 1>(0, 3) = m_splinePoints.back();
    mesh.setMatrix(pose);
    updateRadii(false);
}

void NavigationScene::updateRadii(bool tipRingOnly)
{
    const auto radiusAt = [this](const Eigen::Vector3d& centre)
    {
        return Geometry::ringRadius(m_settings.pathType, m_settings.targetRadius, m_settings.pathGrowth,
                                    remainingFrom(centre));
    };
    if (m_tipRing)
        m_tipRing->setRadius(radiusAt(m_tipRing->centre()));
    if (tipRingOnly)
        return;
    for (const auto& ring : m_rings)
        ring->setRadius(radiusAt(ring->centre()));
}

void NavigationScene::applyRingVisibility()
{
    const RingVisibility mode = m_settings.ringVisibility;
    if (m_tipRing)
        m_tipRing->setVisible(mode != RingVisibility::FixedOnly);
    std::vector<double> alphas(m_rings.size(), 1.0);
    if (mode == RingVisibility::Fading && m_tipRing)
    {
        std::vector<double> distances;
        for (const auto& ring : m_rings)
            distances.push_back((ring->centre() - m_tipRing->centre()).norm());
        alphas = Geometry::fadingAlphas(distances);
    }
    for (std::size_t i = 0; i < m_rings.size(); ++i)
    {
        m_rings[i]->setVisible(mode != RingVisibility::TipOnly);
        m_rings[i]->setAlpha(alphas[i]);
    }
}

void NavigationScene::applyLineVisibility()
{
    m_centerLine->setVisible(m_settings.lineVisibility != CenterLineVisibility::None);
    // The label is a distance: shown only while the needle's figures can be trusted.
    m_centerLine->setLabelVisible(m_settings.lineVisibility == CenterLineVisibility::LineAndDistance &&
                                  m_judgement.state == FigureState::Valid);
}

void NavigationScene::moveTipRing(const Eigen::Vector3d& tip)
{
    if (!m_tipRing || !m_spline)
        return;
    const double u = m_spline->arcLengthToSplineCoord(m_spline->calculateNearestPointArcLength(tip));
    const Geometry::Axes axes = Geometry::perpendicularAxes(m_spline->evaluateTangent(u));
    m_tipRing->setCircle(m_spline->evaluate(u), axes.a, axes.b);
}

void NavigationScene::update()
{
    const TrackingStream* stream = m_algorithm.trackingStream();
    if (!stream || stream->instruments().empty())
        return;
    const ToolSnapshot tool = m_algorithm.toolVisualization().snapshot();
    std::optional<Eigen::AlignedBox3d> region;
    if (m_spline)
        region = planRegion(m_planImage, m_splinePoints);
    m_judgement = judgeFigures(tool, region);
    // A pose that is current moves the scene even when its figures cannot be trusted: the view shows where the
    // tool is, the figures what it means for the plan.
    if (tool.toolMatrix && m_judgement.state != FigureState::Stale)
    {
        const Eigen::Matrix4d needle = Geometry::withRotationOffset(*tool.toolMatrix, m_rotationOffsetDegrees);
        const Eigen::Vector3d tip = translationOf(needle);
        m_needle = needle;
        if (const std::optional<Eigen::Matrix4d> camera = applyLink(needle))
            m_view.setCameraMatrix(*camera);
        moveTipRing(tip);
        updateRadii(true);
        applyRingVisibility();
        // The line starts at the tip ring where it stands now, so that line, ring and label agree in every frame.
        if (m_tipRing)
            m_centerLine->setLine(*m_tipRing, tip);
    }
    showStatus(m_judgement.state == FigureState::Valid ? std::optional(translationOf(*m_needle)) : std::nullopt);
    signalChanged.emitSignal();
}

std::optional<Eigen::Matrix4d> NavigationScene::applyLink(const Eigen::Matrix4d& needle)
{
    Eigen::Matrix4d meshPose = needle;
    double meshAlpha = 1.0;
    std::optional<Eigen::Matrix4d> camera;
    switch (m_settings.linkTo)
    {
        case CameraLink::NeedleTip:
            camera = Geometry::needleTipCamera(needle);
            break;
        case CameraLink::NeedleSide:
            camera = Geometry::needleSideCamera(needle);
            meshPose = Geometry::needleSideMeshPose(needle);
            meshAlpha = kTiltedNeedleAlpha;
            break;
        case CameraLink::Rings:
            camera = ringsCamera(needle);
            meshAlpha = kTiltedNeedleAlpha;
            break;
        case CameraLink::None:
            break;
    }
    if (m_toolMesh)
    {
        GlMesh& mesh = meshOf(*m_toolMesh);
        mesh.setMatrix(meshPose);
        mesh.setAlpha(meshAlpha);
    }
    return camera;
}

std::optional<Eigen::Matrix4d> NavigationScene::ringsCamera(const Eigen::Matrix4d& needle)
{
    std::vector<Eigen::Vector3d> centres;
    for (const auto& ring : m_rings)
        centres.push_back(ring->centre());
    const std::optional<std::size_t> chosen = Geometry::ringsLinkChoice(centres, translationOf(needle));
    if (!chosen || (m_ringGlide && m_ringGlide->state() == Animations::Animation::Running))
        return std::nullopt;
    const Eigen::Matrix4d camera = Geometry::ringsCamera(needle, m_splinePoints.back(), centres[*chosen]);
    const std::optional<std::size_t> previous = std::exchange(m_lastRing, chosen);
    if (!previous || *previous == *chosen)
        return camera;
    // Moving on to another ring glides there instead of jumping, so the user keeps the orientation.
    const Eigen::Vector3d start = centres[*previous];
    const Eigen::Vector3d displacement = centres[*chosen] - start;
    m_ringGlide = std::make_shared<Animations::Animation>(kGlideMs, kLinearEasing,
                                                          [this, camera, start, displacement](double progress)
                                                          {
                                                              Eigen::Matrix4d step = camera;
                                                              step.block<3, 1>(0, 3) = start + progress * displacement;
                                                              m_view.setCameraMatrix(step);
                                                          });
    Animations::runAnimation(m_ringGlide);
    return std::nullopt;
}

void NavigationScene::showStatus(const std::optional<Eigen::Vector3d>& tip)
{
    applyLineVisibility();
    m_status = TargetStatus::Outside;
    if (!tip)
    {
        if (m_targetSphere)
            meshOf(*m_targetSphere).setColor(kWhite);
        if (m_tipRing)
            m_tipRing->setColor(kGrey);
        return;
    }
    if (!m_splinePoints.empty())
    {
        std::optional<Geometry::Ring> ring;
        if (m_tipRing)
            ring = Geometry::Ring{ m_tipRing->centre(), m_tipRing->radius() };
        m_status = Geometry::targetStatus(*tip, m_splinePoints.back(), m_settings.targetRadius, ring);
    }
    if (m_targetSphere)
        meshOf(*m_targetSphere).setColor(m_status == TargetStatus::InsideTarget ? kCyan : kWhite);
    if (m_tipRing)
        m_tipRing->setColor(m_status == TargetStatus::Outside ? kRed : kGreen);
}

double NavigationScene::remainingFrom(const Eigen::Vector3d& point) const
{
    return m_spline ? m_spline->getCurveLength() - m_spline->calculateNearestPointArcLength(point) : 0.0;
}

std::optional<double> NavigationScene::needleArcLength() const
{
    if (!m_spline || !m_needle || m_judgement.state != FigureState::Valid)
        return std::nullopt;
    return m_spline->calculateNearestPointArcLength(translationOf(*m_needle));
}

std::optional<double> NavigationScene::remainingLength() const
{
    const std::optional<double> along = needleArcLength();
    if (!along)
        return std::nullopt;
    return m_spline->getCurveLength() - *along;
}

std::vector<const GlCircle*> NavigationScene::rings() const
{
    std::vector<const GlCircle*> rings;
    for (const auto& ring : m_rings)
        rings.push_back(ring.get());
    return rings;
}

const GlMesh* NavigationScene::targetSphere() const
{
    return m_targetSphere ? &meshOf(*m_targetSphere) : nullptr;
}

const GlSpline& NavigationScene::centerLine() const
{
    return *m_centerLine;
}

const GlMesh* NavigationScene::toolMesh() const
{
    return m_toolMesh ? &meshOf(*m_toolMesh) : nullptr;
}

void NavigationScene::onSplineChanged()
{
    // Colour or label edits change nothing here; moved control points move the whole path.
    if (m_spline->points() == m_splinePoints)
        return;
    if (m_spline->points().empty())
    {
        Log::log(Log::Error, kLogCategory, "An invalid or empty spline was selected");
        dropSpline();
    }
    else
        rebuildPath();
    signalChanged.emitSignal();
}

void NavigationScene::onSplineDestroyed()
{
    Log::log(Log::Warning, kLogCategory, "The currently selected spline was removed, taking the next one available");
    // The spline is half destroyed: only forget it.
    m_spline = nullptr;
    dropSpline();
    signalSplineRemoved.emitSignal();
}

} // namespace Kelvaros
