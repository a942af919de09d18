#pragma once

#include <memory>
#include <string>
#include <vector>

#include <Eigen/Core>

namespace Kelvaros
{

class BullseyeVisualizationAlgorithm;
class GlInsertionReadoutOverlay;
class GlLine;
class GlMesh;
class GlObject;
class GlPoint;
class GlToolTargetOverlay;
class InteractiveOverlay;
class InteractiveView;
class Mesh;
class ViewGroup;
struct InsertionReadout;

/// The bullseye targeting scene, apart from any panel: the planned path line, a tip marker, a ring carried up the
/// needle's axis, the bullseye target behind the entry point, the depth-bar overlay and the insertion read-out
/// text. build() makes the objects once from the path's two points; attach() puts them into the views; update()
/// moves them to the algorithm's latest needle pose.
///
/// Views: the path line and the tip marker go to every view of a group, the tip marker, ring and bullseye to the 3D
/// view only, the overlays to the 3D view (the depth bar at its left edge, the read-out top right).
///
/// Main thread only. The algorithm must outlive the scene; attached views must outlive the attachment (the
/// destructor detaches).
class BullseyeScene
{
public:
    /// Path line length (mm) from the target through the entry point.
    static constexpr double kPathLineLength = 200.0;

    explicit BullseyeScene(BullseyeVisualizationAlgorithm& algorithm);
    ~BullseyeScene();
    BullseyeScene(const BullseyeScene&) = delete;
    BullseyeScene& operator=(const BullseyeScene&) = delete;

    /// Sets the algorithm's path to `target` → `entry` (the line annotation's first and second point, world mm) and
    /// creates the objects, hidden. The bullseye and ring meshes are read from the algorithm's paths; a missing or
    /// unreadable file logs a Warning ("Mesh <path> not found!") and a simple stand-in mesh takes its place.
    /// Only the first call builds; later ones are ignored (false).
    bool build(const Eigen::Vector3d& target, const Eigen::Vector3d& entry);
    [[nodiscard]] bool isBuilt() const { return m_pathLine != nullptr; }

    /// Adds the objects and overlays to the views (after build(); detaches from earlier views first).
    void attach(InteractiveView& view3d, ViewGroup& allViews);
    /// Takes everything out of the views again; nothing when not attached.
    void detach();

    /// Shows or hides every object and overlay.
    void setShown(bool shown);
    [[nodiscard]] bool shown() const { return m_shown; }

    /// Moves the scene to the algorithm's latest needle pose: the tip marker to the tip, the ring up the needle's
    /// axis by annotationLineDistance + 1 mm, the bullseye behind the entry point, the depth bar's points. Nothing
    /// while hidden or without a valid pose (everything stays where it was); true when it moved.
    bool update();
    /// The text the read-out overlay shows; the depth bar shows no needle and no depth unless the read-out is
    /// valid.
    void setReadout(const InsertionReadout& readout);

    [[nodiscard]] GlLine* pathLine() const { return m_pathLine.get(); }
    [[nodiscard]] GlPoint* tipMarker() const { return m_tipMarker.get(); }
    [[nodiscard]] GlMesh* ring() const { return m_ring.get(); }
    [[nodiscard]] GlMesh* bullseye() const { return m_bullseye.get(); }
    [[nodiscard]] GlToolTargetOverlay* targetOverlay() const { return m_targetOverlay; }
    [[nodiscard]] GlInsertionReadoutOverlay* readoutOverlay() const { return m_readoutOverlay; }

private:
    /// An overlay held by the scene while detached and by the 3D view while attached.
    struct Overlay
    {
        std::unique_ptr<InteractiveOverlay> owned;
        InteractiveOverlay* placed = nullptr;
    };

    [[nodiscard]] std::unique_ptr<GlMesh> loadMesh(const std::string& path, const Eigen::Vector3d& color,
                                                   std::unique_ptr<Mesh> (*standIn)()) const;
    [[nodiscard]] std::vector<GlObject*> objects3dOnly() const;
    [[nodiscard]] std::vector<GlObject*> objectsAllViews() const;
    void requestUpdate();

    BullseyeVisualizationAlgorithm& m_algorithm;
    std::unique_ptr<GlLine> m_pathLine;
    std::unique_ptr<GlPoint> m_tipMarker;
    std::unique_ptr<GlMesh> m_ring;
    std::unique_ptr<GlMesh> m_bullseye;
    Overlay m_target;
    Overlay m_readout;
    GlToolTargetOverlay* m_targetOverlay = nullptr;
    GlInsertionReadoutOverlay* m_readoutOverlay = nullptr;
    InteractiveView* m_view3d = nullptr;
    ViewGroup* m_allViews = nullptr;
    bool m_shown = false;
};

} // namespace Kelvaros
