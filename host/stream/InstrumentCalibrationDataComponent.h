#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/DataComponent.h"

namespace Kelvaros
{

class Data;

/// The calibrations of a stream's instruments, keyed by TrackerID::ID; a component of the stream (Data).
///
/// A calibration maps the calibrated tool frame (tip at the origin, needle along z) into the tool's tracked
/// frame, so the calibrated pose of an instrument is pose · calibration.
///
/// Beside each calibration it keeps how that calibration was obtained (its Provenance) and one previous calibration
/// of the instrument, so that a new calibration that turns out worse can be undone: restorePrevious() swaps the two.
/// Only setPrevious() and restorePrevious() touch the previous entry; setCalibration() writes the current one.
///
/// Thread-safe: stream threads read calibrations for every sample while the user-interface thread writes new
/// ones; every access takes the component's own mutex and returns copies.
class KELVAROS_API InstrumentCalibrationDataComponent : public DataComponentBase<InstrumentCalibrationDataComponent>
{
public:
    /// One instrument calibration.
    struct Calibration
    {
        /// Calibrated tool frame → tracked tool frame, 4x4 homogeneous, millimetres.
        Eigen::Matrix4d matrix = Eigen::Matrix4d::Identity();
        /// A figure of merit that the producer of the calibration defines (for example a fit residual in mm);
        /// 0 when it has none.
        double value = 0.0;
    };

    /// How a calibration was obtained. A field a method has no value for stays empty.
    struct KELVAROS_API Provenance
    {
        /// When it was computed: ISO 8601 date and time with the offset from UTC ("2026-12-07T06:12:31+01:00").
        std::string dateTime;
        /// "pivot", "axis" or "pivot+axis".
        std::string method;
        /// Number of poses the result rests on.
        std::optional<int> poseCount;
        /// How far the tool was turned between the poses used, in degrees: for a pivot the largest angle between
        /// two directions of the shaft, for an axis the turn about it.
        std::optional<double> angularRangeDegrees;
        /// Root mean square and largest fit residual, mm.
        std::optional<double> residualRmsMm;
        std::optional<double> residualMaxMm;
        /// The error of the tip the fit expects of itself (square root of the trace of its covariance), mm.
        std::optional<double> predictedTipErrorMm;
        /// The error of the needle axis the fit expects of itself (square root of the trace of its covariance),
        /// degrees.
        std::optional<double> predictedAxisErrorDegrees;
        /// How far the rotation recording's poses tilted the fitted needle axis (RMS angle, degrees): a fraction
        /// of a degree for a turn about the needle, several degrees for a motion that is not one.
        std::optional<double> axisTiltRmsDegrees;
        /// How far the tool was turned about the needle axis over the rotation recording, degrees (above 360 for
        /// more than one turn).
        std::optional<double> axisSpinDegrees;

        bool operator==(const Provenance& other) const;
        bool operator!=(const Provenance& other) const { return !(*this == other); }
    };

    /// A calibration together with its provenance (empty when unknown).
    struct Entry
    {
        Calibration calibration;
        std::optional<Provenance> provenance;
    };

    InstrumentCalibrationDataComponent() = default;
    InstrumentCalibrationDataComponent(const InstrumentCalibrationDataComponent& other);
    InstrumentCalibrationDataComponent& operator=(const InstrumentCalibrationDataComponent& other);
    ~InstrumentCalibrationDataComponent() override;

    [[nodiscard]] std::string id() const override { return "InstrumentCalibration"; }

    /// The calibration matrix of an instrument of a data object (a stream or a sequence), identity when the data has
    /// no calibrations or none for that instrument. Any thread.
    [[nodiscard]] static Eigen::Matrix4d matrixOf(const Data& data, const std::string& instrumentId);
    /// The calibration of an instrument, or an empty optional when it has none. Any thread.
    [[nodiscard]] std::optional<Calibration> calibration(const std::string& instrumentId) const;
    /// Sets (or replaces) the calibration of an instrument; without a provenance the new calibration has none.
    /// The previous entry stays as it is. Any thread.
    void setCalibration(const std::string& instrumentId, const Calibration& calibration,
                        const std::optional<Provenance>& provenance = std::nullopt);
    void setCalibration(const std::string& instrumentId, const Eigen::Matrix4d& matrix, double value);
    /// Removes the calibration of an instrument (not its previous entry); false when it had none. Any thread.
    bool removeCalibration(const std::string& instrumentId);
    /// The current calibration with its provenance, or an empty optional when the instrument has none. Any thread.
    [[nodiscard]] std::optional<Entry> entry(const std::string& instrumentId) const;
    /// The provenance of the current calibration; empty when there is no calibration or it has none. Any thread.
    [[nodiscard]] std::optional<Provenance> provenance(const std::string& instrumentId) const;
    /// The calibration the instrument had before its current one, if that was kept. Any thread.
    [[nodiscard]] std::optional<Entry> previous(const std::string& instrumentId) const;
    /// Keeps (or with an empty optional forgets) the previous calibration of an instrument. Any thread.
    void setPrevious(const std::string& instrumentId, const std::optional<Entry>& previous);
    /// Swaps the current and the previous calibration in one step, so that a second call undoes the first; false
    /// (and nothing changes) when there is no previous entry. Any thread.
    bool restorePrevious(const std::string& instrumentId);
    /// Ids of every calibrated instrument, sorted. Any thread.
    [[nodiscard]] std::vector<std::string> instrumentIds() const;

private:
    /// What one instrument has; a slot with neither is removed.
    struct Slot
    {
        std::optional<Entry> current;
        std::optional<Entry> previous;
    };

    /// Drops a slot that holds neither entry. Called with the mutex held.
    void eraseIfEmpty(std::map<std::string, Slot>::iterator slot);

    mutable std::mutex m_mutex;
    std::map<std::string, Slot> m_slots;
};

} // namespace Kelvaros
