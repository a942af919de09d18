#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include <Eigen/Core>

#include "core/Signal.h"

#include "navigation/NavigationSettings.h"
#include "visualization/ToolFigurePremises.h"

namespace Kelvaros
{

namespace Animations
{
class Animation;
}
class GlCircle;
class GlMesh;
class GlSpline;
class GlView;
class InteractiveObject;
class Manipulator;
class NavigationCenterLine;
class SharedImageSet;
class ToolNavigationVisualizationAlgorithm;

/// The navigation path view drawn in one 3D view: guidance rings along a planned spline path (a tube or a funnel
/// widening towards the entry), the tip ring that slides to the path point nearest the needle tip, the target
/// sphere at the path's last control point coloured by the target status, the centre line from the tip ring to
/// the tip with its length as label, the needle mesh, and the camera links that drive the view from the needle.
/// The panel owns one, feeds it its settings and calls update() after each update of the needle's tool
/// visualization; everything it draws is added to the view and removed again when it goes.
///
/// The path is a spline annotation owned elsewhere (the annotation model): the scene follows its edits and lets
/// go of it when it is deleted (signalSplineRemoved). Geometry is NavigationPathGeometry's; frames and units as
/// stated there.
///
/// Main thread only, as the view. The algorithm, the view and the selected spline's owner must outlive the scene
/// (a deleted spline is dropped). The log messages carry no category.
class NavigationScene : public SignalReceiver
{
public:
    using ManipulatorFactory = std::function<std::unique_ptr<Manipulator>()>;

    /// Shows the needle mesh read from the algorithm's `toolMeshPath` (a file or Qt resource; none when it cannot
    /// be read) and the empty centre line in `view`. `manipulators` (may be empty) gives the needle mesh and the
    /// target sphere their manipulator, as the annotation model's default one.
    NavigationScene(ToolNavigationVisualizationAlgorithm& algorithm, GlView& view,
                    ManipulatorFactory manipulators = {});
    /// Removes every object from the view and stops a running camera glide.
    ~NavigationScene() override;
    NavigationScene(const NavigationScene&) = delete;
    NavigationScene& operator=(const NavigationScene&) = delete;

    [[nodiscard]] const NavigationSettings& settings() const { return m_settings; }
    /// Applies what changed: the rings are remade for a new number, re-spaced for a new separation, resized with
    /// the target sphere for a new radius, type or growth; visibility at once; the camera link at the next update.
    void setSettings(const NavigationSettings& settings);
    /// The needle mesh's turn about its own shaft (degrees, not stored); takes effect at the next update.
    void setRotationOffsetDegrees(double degrees) { m_rotationOffsetDegrees = degrees; }

    /// Makes `spline` the path and places the rings, the tip ring and the target sphere on it; the previous path's
    /// objects go. The path's label is hidden until the scene lets go of it. Null or a spline without points selects
    /// none (an Error in the log); with a single point the path has no rings (an Error too). `image`, the image the
    /// path was planned on (may be null; it must outlive the spline's selection), gives the region in which the
    /// needle's figures are judged (planRegion).
    bool selectSpline(GlSpline* spline, const SharedImageSet* image = nullptr);
    [[nodiscard]] GlSpline* spline() const { return m_spline; }
    /// Forgets the spline (its label shown again as it was) and removes its path's objects.
    void dropSpline();

    /// Reads the needle of the tool visualization (its snapshot), judges the figures (judgeFigures) and, while its
    /// pose is current, moves everything to it: needle mesh, camera (by the link), tip ring, radii, fading and
    /// centre line. The target status, the colours and the centre line's distance label follow the needle only while
    /// the figures are valid; otherwise the status is Outside, the tip ring grey, the target sphere white and the
    /// label hidden. Then signalChanged. Skipped while the stream has no instruments.
    void update();

    /// @name What is shown, for the panel's distance bar and for tests
    /// @{
    [[nodiscard]] TargetStatus targetStatus() const { return m_status; }
    /// The needle pose of the last update (rotation offset applied); empty before the first.
    [[nodiscard]] const std::optional<Eigen::Matrix4d>& needlePose() const { return m_needle; }
    /// The state of the needle's figures as of the last update (NotVisible before the first).
    [[nodiscard]] const FigureJudgement& figureJudgement() const { return m_judgement; }
    /// Arc length (mm) from the path's start to the path point nearest the needle tip; empty without a path or while
    /// the figures are not valid.
    [[nodiscard]] std::optional<double> needleArcLength() const;
    /// Path length still to go from the point nearest the needle tip to the target (mm); empty without a path or
    /// while the figures are not valid.
    [[nodiscard]] std::optional<double> remainingLength() const;
    /// The path's control points as last read from the spline; the last one is the target.
    [[nodiscard]] const std::vector<Eigen::Vector3d>& splinePoints() const { return m_splinePoints; }
    [[nodiscard]] std::vector<const GlCircle*> rings() const;
    /// Null without a path.
    [[nodiscard]] const GlCircle* tipRing() const { return m_tipRing.get(); }
    /// Null without a path.
    [[nodiscard]] const GlMesh* targetSphere() const;
    /// Null when the mesh file could not be read.
    [[nodiscard]] const GlMesh* toolMesh() const;
    [[nodiscard]] const GlSpline& centerLine() const;
    /// @}

    /// After every update().
    SignalImpl<> signalChanged;
    /// The selected spline was deleted: the path is gone and the panel may select another one.
    SignalImpl<> signalSplineRemoved;

private:
    void loadToolMesh();
    /// Reads the spline's points again and remakes the rings on them.
    void rebuildPath();
    void clearPath();
    void removeRings();
    void removeTipRing();
    /// A ring shown in the view, radius set later; null (Error) when the path has fewer than two points.
    [[nodiscard]] std::unique_ptr<GlCircle> makeRing(const Eigen::Vector3d& colour, double lineWidth);
    void createRings();
    void placeRings();
    void updateTargetSphere();
    void updateRadii(bool tipRingOnly);
    void applyRingVisibility();
    void applyLineVisibility();
    /// Centres the tip ring on the path point nearest `tip`, across the path.
    void moveTipRing(const Eigen::Vector3d& tip);
    /// Poses the needle mesh as the camera link shows it and returns the camera pose the link asks for: none when
    /// the link is off or a glide runs or starts.
    [[nodiscard]] std::optional<Eigen::Matrix4d> applyLink(const Eigen::Matrix4d& needle);
    [[nodiscard]] std::optional<Eigen::Matrix4d> ringsCamera(const Eigen::Matrix4d& needle);
    /// Target status and colours for the tip, or for no trusted tip; the centre line's label with them.
    void showStatus(const std::optional<Eigen::Vector3d>& tip);
    [[nodiscard]] double remainingFrom(const Eigen::Vector3d& point) const;
    void onSplineChanged();
    void onSplineDestroyed();

    ToolNavigationVisualizationAlgorithm& m_algorithm;
    GlView& m_view;
    ManipulatorFactory m_manipulators;
    NavigationSettings m_settings;
    double m_rotationOffsetDegrees = 0.0;

    GlSpline* m_spline = nullptr;
    const SharedImageSet* m_planImage = nullptr;
    std::vector<SignalConnection> m_splineConnections;
    std::vector<Eigen::Vector3d> m_splinePoints;
    bool m_splineLabelWasVisible = false;

    std::optional<Eigen::Matrix4d> m_needle;
    FigureJudgement m_judgement;
    TargetStatus m_status = TargetStatus::Outside;

    std::unique_ptr<GlCircle> m_tipRing;
    std::vector<std::unique_ptr<GlCircle>> m_rings;
    std::unique_ptr<InteractiveObject> m_targetSphere;
    std::unique_ptr<InteractiveObject> m_toolMesh;
    std::unique_ptr<NavigationCenterLine> m_centerLine;

    std::shared_ptr<Animations::Animation> m_ringGlide;
    /// Index of the ring the Rings camera was last placed at; reset when the rings are remade.
    std::optional<std::size_t> m_lastRing;
};

} // namespace Kelvaros
