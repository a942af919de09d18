#pragma once

#include <optional>
#include <string>

#include <Eigen/Core>
#include <Eigen/LU>

#include "core/Export.h"
#include "core/Properties.h"
#include "stream/InstrumentCalibrationDataComponent.h"

#include "session/WorkspaceProblems.h"

namespace Kelvaros
{

/// The parts of reading a workspace that need no application: whether its size may be loaded at all, and its
/// registration and calibration matrices, each checked where it is read. Pure functions; any thread.
class KELVAROS_API WorkspaceReading
{
public:
    /// Bytes of data files one workspace may make the program load, counted once for every entry that names a file
    /// (each entry loads its own copy). A navigation session holds a few volumes, meshes and recordings of some
    /// hundred megabytes; a hand-edited or hostile file naming one volume thousands of times must be refused before
    /// the first is loaded, not when memory runs out. A budget on the sum, rather than a refusal of a file named
    /// twice, keeps a session that opened one volume twice (to compare two registrations) loadable.
    static constexpr long long maxDataBytes = 4LL << 30;
    /// Data objects and algorithms one workspace may hold each: streams and phantoms name no file, yet each costs
    /// a thread or megabytes.
    static constexpr int maxEntries = 256;
    /// A registration or calibration moves data by millimetres to metres; ten metres is beyond any operating room.
    static constexpr double maxTranslationMm = 10000.0;
    /// Entries of RᵀR − I and of det R ∓ 1: the rounding of matrices written as text, or by float-based trackers.
    static constexpr double rotationTolerance = 1e-3;

    /// Why the workspace must not be loaded at all, naming it (`name`, a path, may be empty) and the bound
    /// exceeded; empty when it is within the bounds above.
    [[nodiscard]] static std::string whyTooLarge(const Properties& workspace, const std::string& name);

    /// A rigid placement: finite, last row (0 0 0 1), translation within maxTranslationMm and a 3x3 block that is
    /// a rotation within rotationTolerance, or with `mirrorAllowed` a mirrored one (det −1): a volume's matrix
    /// carries the orientation of its voxel axes, which a file may give left-handed.
    [[nodiscard]] static bool isRigidPlacement(const Eigen::Matrix4d& matrix, bool mirrorAllowed);

    /// The placement stored under "matrix"; empty when absent, or when refused (noted in `problems` with what was
    /// dropped and `consequence`).
    [[nodiscard]] static std::optional<Eigen::Matrix4d> placement(const Properties& node, const std::string& what,
                                                                  const std::string& consequence, bool mirrorAllowed,
                                                                  const WorkspaceProblems& problems);

    /// Reads an instrument calibration with how it was obtained (files written before calibrations carried
    /// provenance load without it). Empty when the matrix is absent or refused: an instrument is better left
    /// uncalibrated, and said so, than calibrated with identity or with a matrix that is not rigid.
    [[nodiscard]] static std::optional<InstrumentCalibrationDataComponent::Entry> calibration(
      const Properties& node, const std::string& what, const WorkspaceProblems& problems);

private:
    static void readProvenance(const Properties& saved, const std::string& what,
                               InstrumentCalibrationDataComponent::Provenance& provenance,
                               const WorkspaceProblems& problems);
};

} // namespace Kelvaros
