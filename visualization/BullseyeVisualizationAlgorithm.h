#pragma once

#include <memory>
#include <optional>
#include <string>

#include <Eigen/Core>

#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/Algorithm.h"

#include "visualization/ToolMeshBinding.h"

namespace Kelvaros
{

class DataList;
class SharedImageSet;
class TrackingStream;
class ToolVisualizationAlgorithm;

/// Needle guidance towards a planned straight path: a line annotation of the reference image from the target A
/// (first point) to the entry side B (second point). It owns the tool visualization that tracks the needle, holds
/// the path and the display settings, and computes the geometry the bullseye panel and its overlay draw: a camera
/// looking down the path, the bullseye placement behind the entry point, and the needle's tip and shaft in the 2D
/// frame of the plane through the path and the tip. compute() does nothing.
///
/// The needle mesh path is stored once, as `toolMeshPath`: the owned tool visualization's `mesh` always follows it,
/// and a saved configuration holds no `mesh` key.
///
/// Threads: user-interface thread, except what the owned tool visualization documents. The stream and the image
/// must outlive the algorithm.
class BullseyeVisualizationAlgorithm : public Algorithm
{
public:
    /// True only for exactly two items whose first tracking-stream item is a TrackingStream and which hold an image
    /// set; with a non-null out-pointer builds the algorithm on the stream and the first image set.
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    /// Builds the owned tool visualization on the same stream without an image, so the stream's registration is
    /// not touched. Either pointer may be null.
    BullseyeVisualizationAlgorithm(TrackingStream* stream, SharedImageSet* referenceImage);
    ~BullseyeVisualizationAlgorithm() override;

    /// Reads this algorithm's keys, makes the three mesh paths absolute where they are relative existing files,
    /// then configures the owned tool visualization from the same properties and sets its `mesh` to
    /// `toolMeshPath`. Nothing for null.
    void configure(const Properties* properties) override;
    /// Writes this algorithm's keys and, beside them, the tool visualization's, its `mesh` folded into
    /// `toolMeshPath`. Nothing for null.
    void configuration(Properties* properties) const override;
    /// Nothing to compute: status success.
    void compute() override;

    /// The planned path: A the target, B the entry side (world, mm).
    void setLinePoints(const Eigen::Vector3d& a, const Eigen::Vector3d& b);
    [[nodiscard]] const Eigen::Vector3d& linePointA() const { return m_a; }
    [[nodiscard]] const Eigen::Vector3d& linePointB() const { return m_b; }

    /// |B − A| · targetRingDistanceFactor (mm): how far up the needle the ring is carried.
    [[nodiscard]] double annotationLineDistance() const;

    /// Camera → world pose of a camera at `eye` looking at `centre` with `up` as the upward hint: columns s, u, −f
    /// and eye, with f the unit view direction, s = f × up and u = s × f normalised where they are not zero.
    /// Degenerate (zero columns) when eye = centre or f is parallel to up; returned as it is.
    [[nodiscard]] static Eigen::Matrix4d createLookAt(const Eigen::Vector3d& eye, const Eigen::Vector3d& centre,
                                                      const Eigen::Vector3d& up);
    /// A camera on the path's extension beyond B, `offset` + bullseyeDistance mm from B, looking at A with up
    /// (0, 0, 1). Degenerate when A = B or the path is parallel to z.
    [[nodiscard]] Eigen::Matrix4d createLookAtAlongNeedle(double offset) const;

    /// The needle in the 2D frame of the plane through the path and the tip, for the overlay: the second coordinate
    /// is the signed distance (mm) from A along the path (towards B) of a point's foot on the path line, the first
    /// its lateral offset (mm) in that plane; the path is at first coordinate 0 and the tip's first coordinate is
    /// never positive. `tipPoint` is the tip (translation of `toolMatrix`), `shaftPoint` the point needleLength mm
    /// along the tool's z axis.
    void computeOverlayParameters(Eigen::Vector2d& tipPoint, Eigen::Vector2d& shaftPoint,
                                  const Eigen::Matrix4d& toolMatrix) const;

    /// The owned tool visualization's pose (present only above its quality threshold). Any thread.
    [[nodiscard]] std::optional<Eigen::Matrix4d> lastToolMatrix() const;

    [[nodiscard]] ToolVisualizationAlgorithm& toolVisAlg() const { return *m_toolVisualization; }
    [[nodiscard]] TrackingStream* trackingStream() const;
    [[nodiscard]] SharedImageSet* referenceImage() const { return m_referenceImage; }

    /// @name Parameters, registered in this order (property keys as named)
    /// @{
    Parameter<std::string> p_toolMeshPath{ "toolMeshPath", ":/TrackingPointerExtended.obj", this };
    Parameter<std::string> p_bullseyeMeshPath{ "bullseyeMeshPath", ":/Bullseye.obj", this };
    Parameter<std::string> p_toolRingMeshPath{ "toolRingMeshPath", ":/SingleRing.obj", this };
    /// Overlay label font size.
    Parameter<int> p_fontSize{ "fontSize", 18, this };
    /// Overlay: pixel row of the bar's zero line (bottom).
    Parameter<int> p_textOffset{ "textOffset", 25, this };
    /// Overlay: pixels between the bar's top line and the top edge.
    Parameter<int> p_topMargin{ "topMargin", 2, this };
    /// Overlay: pixels between the horizontal lines and the left and right edges.
    Parameter<int> p_whiskerMargin{ "whiskerMargin", 15, this };
    /// Overlay: path length (mm) shown over the bar's height.
    Parameter<double> p_barHeightInMM{ "barHeightInMM", 100.0, this };
    /// Overlay: lateral distance (mm) shown over the overlay's width.
    Parameter<double> p_barWidthInMM{ "barWidthInMM", 20.0, this };
    /// Factor on the path length for the ring placement.
    Parameter<double> p_targetRingDistanceFactor{ "targetRingDistanceFactor", 2.0, this };
    /// Distance (mm) from the tip to the shaft point of the overlay.
    Parameter<double> p_needleLength{ "needleLength", 50.0, this };
    /// Distance (mm) of the bullseye behind the entry point.
    Parameter<double> p_bullseyeDistance{ "bullseyeDistance", 150.0, this };
    /// Extra camera distance (mm) when centring the 3D view.
    Parameter<double> p_viewDistance{ "viewDistance", 100.0, this };
    /// @}

private:
    SharedImageSet* m_referenceImage;
    std::unique_ptr<ToolVisualizationAlgorithm> m_toolVisualization;
    ToolMeshBinding m_meshBinding;
    Eigen::Vector3d m_a = Eigen::Vector3d::Zero();
    Eigen::Vector3d m_b = Eigen::Vector3d::Zero();
};

} // namespace Kelvaros
