#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/Algorithm.h"

namespace Kelvaros
{

class Data;
class DataList;
class PointCorrespondences;
class PointsOnData;
class PointsOnDataManipulator;

/// Paired-point registration of one data object onto another, and the host's registries that let plug-ins bring
/// point sets for their own kinds of data (a tracking stream, say) and manipulators that edit them.
///
/// The algorithm works on two data objects: the first is fixed, the second moved. Each gets the point set named
/// "PointCorrespondences" from the highest-priority points-on-data factory that returns one; compute() fits the
/// rigid transform T of PointCorrespondences (second placement · T brings the second set's points onto the first
/// set's) and applies it to the second data object's placement.
///
/// Registries: main thread only (plug-ins fill them while they initialise; the user interface reads them).
/// Factories of equal priority are asked in the order they were added.
class KELVAROS_API PointCorrespondencesAlgorithm : public Algorithm
{
public:
    /// Whether one data object can take part (any registered check accepting it suffices).
    using CompatibilityCheck = std::function<bool(const Data&)>;
    /// The point set called `name` of a data object, or null when the factory does not handle that data.
    using PointsOnDataFactory = std::function<std::shared_ptr<PointsOnData>(Data&, const std::string&)>;
    /// A manipulator (an editor in the views) for a point set, or null when the factory does not handle it. The
    /// manipulator type belongs to the user-interface library; only code that knows it calls these factories.
    using ManipulatorFactory = std::function<std::unique_ptr<PointsOnDataManipulator>(PointsOnData&)>;

    /// compute() results beyond the host's 0 (success).
    enum ComputeStatus : int
    {
        /// Fewer than 3 pairs, or pairs that do not determine a rigid transform; nothing changed.
        StatusUnusablePoints = 2
    };

    /// The checks that decide whether a data object can take part. Starts with the host's own: image sets.
    [[nodiscard]] static std::vector<CompatibilityCheck>& getCompatibilityChecks();
    /// True when any compatibility check accepts the data object.
    [[nodiscard]] static bool isCompatible(const Data& data);

    /// Adds a points-on-data factory; higher priorities are asked first. The host's own factory (point sets on
    /// image sets, kept in the image's PointsStorageComponent) has priority 0. A null factory is refused with a
    /// Warning.
    static void addPointsOnDataFactory(PointsOnDataFactory factory, int priority);
    /// The point set called `name` of a data object, from the highest-priority factory that returns one; null
    /// when none does.
    [[nodiscard]] static std::shared_ptr<PointsOnData> createPointsOnData(Data& data, const std::string& name);

    /// Adds a manipulator factory; higher priorities come first in manipulatorFactories(). A null factory is
    /// refused with a Warning.
    static void addManipulatorFactory(ManipulatorFactory factory, int priority);
    /// The manipulator factories, highest priority first; the caller asks them in turn and takes the first
    /// manipulator returned.
    [[nodiscard]] static std::vector<ManipulatorFactory> manipulatorFactories();

    /// Plain-function forms of the registry entries. A plug-in registers these (wrapped in the std::function types
    /// above) so that it can take them out again before its code is unloaded: an entry left behind would call into
    /// an unmapped library.
    using CompatibilityCheckFunction = bool (*)(const Data&);
    using PointsOnDataFactoryFunction = std::shared_ptr<PointsOnData> (*)(Data&, const std::string&);
    using ManipulatorFactoryFunction = std::unique_ptr<PointsOnDataManipulator> (*)(PointsOnData&);
    /// Remove every entry that wraps exactly this function; entries of other kinds are kept. Main thread.
    static void removeCompatibilityCheck(CompatibilityCheckFunction check);
    static void removePointsOnDataFactory(PointsOnDataFactoryFunction factory);
    static void removeManipulatorFactory(ManipulatorFactoryFunction factory);

    /// True for exactly two compatible data objects that both get a point set; with a non-null out-pointer the
    /// algorithm is built on them (first fixed, second moved).
    static bool createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm);

    /// An algorithm that registers `moving` onto `fixed` (both not owned; they must outlive it), with the point
    /// sets createPointsOnData gives them.
    PointCorrespondencesAlgorithm(Data& fixed, Data& moving);
    ~PointCorrespondencesAlgorithm() override;

    /// Fits and applies T to the moving data's placement (status 0), or refuses (StatusUnusablePoints, Error in
    /// the log; status 1 when a data object got no point set). Logs the RMS fiducial registration error and the
    /// predicted target registration error at the centroid. User-interface thread.
    void compute() override;

    /// The pairs, or null when a data object got no point set.
    [[nodiscard]] PointCorrespondences* pointCorrespondences() const { return m_correspondences.get(); }
    /// T of the last successful compute (identity before).
    [[nodiscard]] const Eigen::Matrix4d& transform() const { return m_transform; }
    /// RMS fiducial registration error of the last successful compute, mm.
    [[nodiscard]] std::optional<double> registrationError() const { return m_registrationError; }

private:
    Data& m_moving;
    std::unique_ptr<PointCorrespondences> m_correspondences;
    Eigen::Matrix4d m_transform = Eigen::Matrix4d::Identity();
    std::optional<double> m_registrationError;
};

} // namespace Kelvaros
