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
    /// Sets (or replaces) the calibration of an instrument. Any thread.
    void setCalibration(const std::string& instrumentId, const Calibration& calibration);
    void setCalibration(const std::string& instrumentId, const Eigen::Matrix4d& matrix, double value);
    /// Removes the calibration of an instrument; false when it had none. Any thread.
    bool removeCalibration(const std::string& instrumentId);
    /// Ids of every calibrated instrument, sorted. Any thread.
    [[nodiscard]] std::vector<std::string> instrumentIds() const;

private:
    mutable std::mutex m_mutex;
    std::map<std::string, Calibration> m_calibrations;
};

} // namespace Kelvaros
