#pragma once

#include <memory>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "core/Signal.h"
#include "gui/scene/Manipulator.h"

namespace Kelvaros
{

class DisplayWidgetMulti;
class GlPoint;
class InteractiveObject;
class InteractiveView;
class PointsOnData;
class SharedImageSet;
class TransferFunction;

/// Shows the points of a point set in the views of a display and lets the user edit them: each point gets a
/// handle (a dot labelled with the point's name, or its number) in every view that shows it; dragging a handle
/// moves its point (onMovePointInteraction); after startPointCreation the next left click in a view where the
/// mouse meets the scene (ViewPosition::worldAt) hands that position to onCreatePointInteraction. The point
/// set's signals keep the handles in step, whoever changes the points.
///
/// Derived classes supply the point set (pointHandler) and how a position becomes a point (the two interaction
/// hooks); they may capture points from elsewhere (a tracked pointer) by overriding startPointCreation.
///
/// Handles are drawn in the point set's frame placed by pointsToWorld(), so the position a handle holds is in the
/// coordinates of allPoints(). Main thread only; the point set and the display must outlive the manipulator.
class KELVAROS_API PointsOnDataManipulator
  : public ManipulatorListener
  , public SignalReceiver
{
public:
    PointsOnDataManipulator();
    ~PointsOnDataManipulator() override;
    PointsOnDataManipulator(const PointsOnDataManipulator&) = delete;
    PointsOnDataManipulator& operator=(const PointsOnDataManipulator&) = delete;

    /// A handle moved: onMovePointInteraction with its manipulator.
    void onManipulatorEvent(Manipulator* manipulator, ManipulatorEvent event) override;
    /// Follows the point set and shows its handles in the views of `display` (null: shows nothing). May be called
    /// again, with another display.
    virtual void init(DisplayWidgetMulti* display);
    /// The point set edited.
    [[nodiscard]] virtual PointsOnData& pointHandler() = 0;
    /// The next left click in a view places a point (one point per call).
    virtual void startPointCreation();
    /// Ends a pending point creation by click.
    virtual void cancelPointCreation();
    /// The points in world coordinates (mm).
    [[nodiscard]] virtual std::vector<Eigen::Vector3d> exportPoints();
    /// Moves the slice views' planes through point `index` (world), keeping their orientation; other indices are
    /// ignored.
    virtual void goToPoint(int index);
    /// Shows or hides the handles.
    virtual void setVisible(bool visible);
    /// Whether handles can be dragged.
    virtual void setEditable(bool editable);
    /// RGB in [0, 1] of the handles (default white).
    virtual void setPointColor(const Eigen::Vector3d& rgb);
    /// The views the handles are shown in.
    [[nodiscard]] virtual std::vector<InteractiveView*> pointViews() const;
    /// Shows the handles in pointViews() again (after the views changed).
    virtual void recomputePointViews();
    /// Shows a guide object (not owned) in the point views while points are placed, such as a marker of where
    /// the next point goes; `image` and `transferFunction` are for derived manipulators that draw the guide from
    /// an image (null: the view's grey mapping). One guide at a time.
    virtual void showVisualGuideInViews(InteractiveObject& guide, SharedImageSet& image,
                                        TransferFunction* transferFunction);
    virtual void hideVisualGuideInViews();
    /// Point-set signals ([first, end) as the set emits them). An added range with first < 0 reports a capture
    /// that produced no point and changes nothing.
    virtual void onPointsAdded(int first, int end);
    virtual void onPointsRemoved(int first, int end);
    virtual void onPointsChanged(int first, int end);
    virtual void onPointsRenamed(int first, int end);
    /// A click placed a point at a world position (mm).
    virtual void onCreatePointInteraction(const Eigen::Vector3d& world) = 0;
    /// The handle whose manipulator this is was dragged; its first point holds the new position (point-set
    /// coordinates).
    virtual void onMovePointInteraction(Manipulator* manipulator) = 0;
    /// The views of the display (none before init).
    [[nodiscard]] virtual std::vector<InteractiveView*> availableViews() const;

    /// Whether a click will place a point.
    [[nodiscard]] bool pointCreationPending() const { return m_pending; }
    /// The handle of point `index`, or null.
    [[nodiscard]] GlPoint* handle(int index) const;
    [[nodiscard]] int handleCount() const { return int(m_handles.size()); }
    /// Index of the handle a manipulator belongs to; -1 for none.
    [[nodiscard]] int handleIndex(const Manipulator* manipulator) const;
    [[nodiscard]] DisplayWidgetMulti* display() const { return m_display; }

protected:
    /// Ends a pending point creation by click (startPointCreation of derived classes that capture points
    /// elsewhere calls it first).
    void clearPendingPoint();

private:
    class ClickPlacement;

    /// Makes one handle per point, placed, named and coloured as the point set says now.
    void syncHandles();
    void updateHandle(int index);
    void showHandle(InteractiveObject& handle);
    void setPlacementRegistered(bool registered);
    void onClick(const Eigen::Vector3d& world);

    DisplayWidgetMulti* m_display = nullptr;
    std::vector<std::unique_ptr<InteractiveObject>> m_handles;
    std::unique_ptr<ClickPlacement> m_placement;
    GlObject* m_guide = nullptr;
    Eigen::Vector3d m_color = Eigen::Vector3d::Ones();
    bool m_visible = true;
    bool m_editable = true;
    bool m_pending = false;
};

} // namespace Kelvaros
