#include "visualization/BullseyeScene.h"

#include "core/Log.h"
#include "gui/scene/GlLine.h"
#include "gui/scene/GlMesh.h"
#include "gui/scene/GlPoint.h"
#include "gui/scene/InteractiveOverlay.h"
#include "gui/view/GlView.h"
#include "gui/view/InteractiveView.h"
#include "gui/view/ViewGroup.h"
#include "lib/geometry/Mesh.h"
#include "lib/geometry/MeshCreator.h"
#include "lib/geometry/MeshIO.h"

#include "visualization/BullseyeVisualizationAlgorithm.h"
#include "visualization/GlInsertionReadoutOverlay.h"
#include "visualization/GlToolTargetOverlay.h"
#include "visualization/ToolVisualizationAlgorithm.h"

namespace Kelvaros
{
namespace
{
const Eigen::Vector3d kPathColor(1.0, 0.0, 0.0);
const Eigen::Vector3d kTipColor(141.0 / 255.0, 209.0 / 255.0, 25.0 / 255.0);
const Eigen::Vector3d kBullseyeColor(128.0 / 255.0, 0.0, 0.0);
constexpr double kTipDotSize = 10.0;
// InteractiveOverlay anchors: the depth bar at the left edge, the read-out in the top-right corner.
constexpr int kAnchorLeft = 7;
constexpr int kAnchorTopRight = 2;

// Stand-ins for missing mesh files: a flat target disc facing along +z, and a small flat ring marker.
std::unique_ptr<Mesh> standInBullseye()
{
    return MeshCreator::createCylinder(20.0, 1.0, 64);
}

std::unique_ptr<Mesh> standInRing()
{
    return MeshCreator::createCylinder(5.0, 1.0, 32);
}

Eigen::Matrix4d translationZ(double z)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m(2, 3) = z;
    return m;
}

std::unique_ptr<InteractiveOverlay> hidden(std::unique_ptr<InteractiveOverlay> overlay)
{
    overlay->setVisible(false);
    return overlay;
}
} // namespace

BullseyeScene::BullseyeScene(BullseyeVisualizationAlgorithm& algorithm) : m_algorithm(algorithm) {}

BullseyeScene::~BullseyeScene()
{
    detach();
}

std::unique_ptr<GlMesh> BullseyeScene::loadMesh(const std::string& path, const Eigen::Vector3d& color,
                                                std::unique_ptr<Mesh> (*standIn)()) const
{
    std::unique_ptr<Mesh> mesh = MeshIO::loadFileIfPresent(path);
    if (!mesh)
    {
        Log::log(Log::Warning, "", "Mesh " + path + " not found!");
        mesh = standIn();
    }
    auto object = std::make_unique<GlMesh>(std::shared_ptr<Mesh>(std::move(mesh)));
    object->setUseFaceNormals(m_algorithm.toolVisAlg().p_useFaceNormals.value());
    object->setColor(color);
    object->setVisible(false);
    return object;
}

bool BullseyeScene::build(const Eigen::Vector3d& target, const Eigen::Vector3d& entry)
{
    if (isBuilt())
        return false;
    m_algorithm.setLinePoints(target, entry);
    Eigen::Vector3d d = entry - target;
    if (d.squaredNorm() > 0.0)
        d.normalize();

    m_pathLine = std::make_unique<GlLine>("Path");
    m_pathLine->setPoints({ target, target + kPathLineLength * d });
    m_pathLine->setLabelVisible(false);
    m_pathLine->setColor(kPathColor);
    m_pathLine->setVisible(false);

    m_bullseye = loadMesh(m_algorithm.p_bullseyeMeshPath.value(), kBullseyeColor, standInBullseye);
    m_ring = loadMesh(m_algorithm.p_toolRingMeshPath.value(), kTipColor, standInRing);

    m_tipMarker = std::make_unique<GlPoint>("Tip");
    m_tipMarker->setPoints({ Eigen::Vector3d::Zero() });
    m_tipMarker->setDotSize(kTipDotSize);
    m_tipMarker->setColor(kTipColor);
    m_tipMarker->setAlwaysVisible(true);
    m_tipMarker->setLabelVisible(false);
    m_tipMarker->setVisible(false);

    auto targetOverlay = std::make_unique<GlToolTargetOverlay>();
    m_targetOverlay = targetOverlay.get();
    m_targetOverlay->setVisParams(m_algorithm.p_fontSize.value(), m_algorithm.p_textOffset.value(),
                                  m_algorithm.p_topMargin.value(), m_algorithm.p_whiskerMargin.value(),
                                  m_algorithm.p_barHeightInMM.value(), m_algorithm.p_barWidthInMM.value());
    m_target.owned = hidden(std::make_unique<InteractiveOverlay>(std::move(targetOverlay), kAnchorLeft));
    auto readoutOverlay = std::make_unique<GlInsertionReadoutOverlay>();
    m_readoutOverlay = readoutOverlay.get();
    m_readout.owned = hidden(std::make_unique<InteractiveOverlay>(std::move(readoutOverlay), kAnchorTopRight));
    return true;
}

std::vector<GlObject*> BullseyeScene::objects3dOnly() const
{
    return { m_tipMarker.get(), m_bullseye.get(), m_ring.get() };
}

std::vector<GlObject*> BullseyeScene::objectsAllViews() const
{
    return { m_pathLine.get(), m_tipMarker.get() };
}

void BullseyeScene::attach(InteractiveView& view3d, ViewGroup& allViews)
{
    if (!isBuilt())
        return;
    detach();
    m_view3d = &view3d;
    m_allViews = &allViews;
    for (GlObject* object : objects3dOnly())
        view3d.glView().addObject(object);
    for (GlObject* object : objectsAllViews())
        allViews.addObject(object);
    for (Overlay* overlay : { &m_target, &m_readout })
    {
        overlay->placed = overlay->owned.get();
        view3d.glView().addOverlay(std::move(overlay->owned), -1);
    }
    requestUpdate();
}

void BullseyeScene::detach()
{
    if (!m_view3d)
        return;
    for (GlObject* object : objects3dOnly())
        m_view3d->glView().removeObject(object);
    for (GlObject* object : objectsAllViews())
        m_allViews->removeObject(object);
    for (Overlay* overlay : { &m_target, &m_readout })
        overlay->owned = m_view3d->glView().removeOverlay(overlay->placed);
    requestUpdate();
    m_view3d = nullptr;
    m_allViews = nullptr;
}

void BullseyeScene::setShown(bool shown)
{
    m_shown = shown;
    if (!isBuilt())
        return;
    for (GlObject* object : objects3dOnly())
        object->setVisible(shown);
    m_pathLine->setVisible(shown);
    for (Overlay* overlay : { &m_target, &m_readout })
        (overlay->owned ? overlay->owned.get() : overlay->placed)->setVisible(shown);
    requestUpdate();
}

bool BullseyeScene::update()
{
    if (!m_shown || !isBuilt())
        return false;
    const std::optional<Eigen::Matrix4d> tool = m_algorithm.lastToolMatrix();
    if (!tool)
        return false;
    m_tipMarker->setPoint(tool->block<3, 1>(0, 3));
    m_ring->setMatrix(*tool * translationZ(m_algorithm.annotationLineDistance() + 1.0));
    m_bullseye->setMatrix(m_algorithm.createLookAtAlongNeedle(0.0));
    Eigen::Vector2d tip;
    Eigen::Vector2d shaft;
    m_algorithm.computeOverlayParameters(tip, shaft, *tool);
    m_targetOverlay->setToolPoints(tip, shaft);
    requestUpdate();
    return true;
}

void BullseyeScene::setReadout(const InsertionReadout& readout)
{
    if (!m_readoutOverlay)
        return;
    m_readoutOverlay->setReadout(readout);
    // The depth bar shows the same depth as the read-out: not at all when the read-out cannot vouch for it.
    m_targetOverlay->setToolPointsValid(readout.state == InsertionReadout::State::Valid);
    requestUpdate();
}

void BullseyeScene::requestUpdate()
{
    // Overlays have no change signal of their own: ask the views for a frame.
    if (m_view3d)
        m_view3d->requestUpdate();
    if (m_allViews)
        m_allViews->requestUpdate();
}

} // namespace Kelvaros
