#pragma once

#include <array>
#include <optional>

#include <Eigen/Core>

namespace Kelvaros
{

class ToolVisualizationAlgorithm;

/// The rule by which the three slice views (0 axial, 1 sagittal, 2 coronal; see Slice) follow a tracked tool.
/// Pure functions of their inputs, so that the tool visualization panel applies them after each update on the
/// user-interface thread and tests can pin them without views.
///
/// For a tool pose M (calibrated tool → world, mm) each view k gets N = M · B_k, where B_k is the view's linked
/// orientation (Slice::linkedOrientation, not the upright one of an unlinked view), optionally composed with the
/// axis permutation that snaps it to the world axes nearest to the tool's (closestAxisPermutation). Without rotation
/// linking the view keeps its orientation and only its origin moves to the tool tip; with in-plane translation ignored
/// the origin moves only along the view's own normal.
class SliceViewLinking
{
public:
    /// The settings of the rule; the tool visualization's parameters of the same names.
    struct Options
    {
        bool linkMPRs = true;
        bool linkWithRot = true;
        bool snapToClosestAxis = false;
        bool ignoreInPlaneTranslation = false;

        /// The current values of the algorithm's parameters. Any thread.
        static Options from(const ToolVisualizationAlgorithm& algorithm);
    };

    /// One slice view as the rule sees it: its pose (columns 0 to 2 the slice axes, column 2 the normal, column 3
    /// the origin; world, mm) and its size in pixels (0 when the view is not shown).
    struct View
    {
        Eigen::Matrix4d pose = Eigen::Matrix4d::Identity();
        int width = 0;
        int height = 0;
    };

    /// The new poses of views 0, 1 and 2, or empty when no view is to move: linking is off, there is no tool pose,
    /// or none of the views has a positive width and height. When any view is shown, all three follow.
    [[nodiscard]] static std::optional<std::array<Eigen::Matrix4d, 3>> linkedPoses(
      const std::optional<Eigen::Matrix4d>& toolMatrix, const Options& options, const std::array<View, 3>& views);

    /// The same with the algorithm's current parameters. The pose is the caller's, read once with whatever else it
    /// shows of the same sample. User-interface thread.
    [[nodiscard]] static std::optional<std::array<Eigen::Matrix4d, 3>> linkedPoses(
      const std::optional<Eigen::Matrix4d>& toolMatrix, const ToolVisualizationAlgorithm& algorithm,
      const std::array<View, 3>& views);

    /// The 4x4 proper rotation P that relabels the tool's axes by the world axes closest to them: the permutation
    /// π of (0, 1, 2) maximising |M(0,π(0))| + |M(1,π(1))| + |M(2,π(2))| over M's upper-left 3x3 block (the first
    /// maximum in lexicographic order wins), as P(π(j), j) = 1, with the 3x3 block negated when π is odd so that
    /// the determinant is +1.
    [[nodiscard]] static Eigen::Matrix4d closestAxisPermutation(const Eigen::Matrix4d& toolMatrix);

    /// B_0, B_1, B_2: the linked slice orientations, preceded by closestAxisPermutation(toolMatrix) when
    /// `snap` is set.
    [[nodiscard]] static std::array<Eigen::Matrix4d, 3> baseOrientations(const Eigen::Matrix4d& toolMatrix, bool snap);
};

} // namespace Kelvaros
