#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Configurable.h"
#include "core/Export.h"
#include "core/Signal.h"

namespace Kelvaros
{

class Data;
class Properties;

/// A list of points that belongs to a data object (an image, a tracking stream): the landmarks of a paired-point
/// registration, the targets of a plan. Besides the positions it keeps, per point, a name and a check mark (the
/// flag); derived classes store the positions and keep the three lists in step: every added point gets an empty
/// name and the flag true, every removal erases the same index range from all three (appendRecord/eraseRecords).
///
/// Coordinates: allPoints() are in the frame that pointsToWorld() maps into world space (identity when the
/// points are already world coordinates), millimetres.
///
/// Signals carry a half-open index range [first, end) and are emitted on the thread that made the change:
/// signalPointsAdded after points were appended, signalPointsChanged after positions or flags changed,
/// signalPointsRemoved after points were erased (indices as they were before the removal), signalPointsRenamed
/// after names changed.
///
/// Not synchronised: point sets are edited and read on the user-interface thread (derived classes say which of
/// their accessors another thread may call).
class KELVAROS_API PointsOnData : public Configurable
{
public:
    PointsOnData();
    /// Copies names and flags; the copy has no signal connections and no registered parameters of the original.
    PointsOnData(const PointsOnData& other);
    PointsOnData(PointsOnData&& other) noexcept;
    PointsOnData& operator=(const PointsOnData&) = delete;
    ~PointsOnData() override;

    /// Reads the "points" block, if any, replacing the current points: clear(), then one configurePoint per
    /// record in order, then the record's "Flag" (when present) onto the last point. Registered parameters are
    /// read first. Nothing for null.
    void configure(const Properties* properties) override;
    /// Writes the registered parameters and a "points" block holding one "point" record per point, each filled
    /// by pointConfiguration and completed with the point's "Flag". Nothing for null.
    void configuration(Properties* properties) const override;

    /// The points, in the frame described in the class comment.
    [[nodiscard]] virtual const std::vector<Eigen::Vector3d>& allPoints() const = 0;
    /// The data object the points belong to (not owned), or null.
    [[nodiscard]] virtual const Data* data() const = 0;
    /// Removes the half-open range [first, last), clamped to the valid indices; emits signalPointsRemoved with the
    /// clamped range, nothing for an empty range.
    virtual void remove(int first, int last) = 0;
    /// Number of points (allPoints().size()).
    [[nodiscard]] virtual int size() const;
    [[nodiscard]] virtual bool empty() const;
    /// Removes every point (remove(0, size())).
    virtual void clear();
    /// Point `index` of allPoints(); for an index out of range, logs an error and returns NaN coordinates.
    [[nodiscard]] virtual Eigen::Vector3d point(int index) const;
    /// Restores one point record (as written by pointConfiguration); nothing for null.
    virtual void configurePoint(const Properties* properties) = 0;
    /// Writes the record of point `index`; nothing for null or an index out of range.
    virtual void pointConfiguration(Properties* properties, int index) const = 0;

    /// Maps the coordinates of allPoints() into world space. Default: identity (the points are world coordinates).
    [[nodiscard]] virtual Eigen::Matrix4d pointsToWorld() const;

    /// Per-point names, in step with the points.
    [[nodiscard]] const std::vector<std::string>& names() const { return m_names; }
    /// Name of point `index`; empty for an index out of range.
    [[nodiscard]] std::string name(int index) const;
    /// Renames point `index` and emits signalPointsRenamed(index, index + 1); an index out of range logs an error
    /// and changes nothing.
    void setName(const std::string& name, int index);

    /// Per-point check marks, in step with the points; true for a new point. Point lists show and toggle them;
    /// the point set does not interpret them.
    [[nodiscard]] const std::vector<bool>& flags() const { return m_flags; }
    /// Flag of point `index`; false for an index out of range.
    [[nodiscard]] bool flag(int index) const;
    /// Sets the flag of point `index` and emits signalPointsChanged(index, index + 1) when it changed; an index out
    /// of range logs an error and changes nothing.
    void setFlag(int index, bool flag);

    SignalImpl<int, int> signalPointsAdded;
    SignalImpl<int, int> signalPointsChanged;
    SignalImpl<int, int> signalPointsRemoved;
    SignalImpl<int, int> signalPointsRenamed;

protected:
    /// Appends the record of a new point: an empty name and the flag true.
    void appendRecord();
    /// Erases the records of [first, last); the range must be valid (see clampRange).
    void eraseRecords(int first, int last);
    /// Clamps [first, last) to [0, size()); false when the clamped range is empty.
    [[nodiscard]] bool clampRange(int& first, int& last) const;
    /// Brings world positions that the set derives from its owner's placement up to date (a set on an image
    /// keeps its points in image coordinates and follows the image when it moves). Default: nothing.
    virtual void updateWorldPoints();

private:
    std::vector<std::string> m_names;
    std::vector<bool> m_flags;
};

} // namespace Kelvaros
