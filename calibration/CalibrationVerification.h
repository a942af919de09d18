#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

#include <Eigen/Core>

namespace Kelvaros
{

class TrackingStreamData;

/// Checks a tool calibration before it is used: the user touches a divot whose position is known in the frame of a
/// reference instrument, and the calibrated tip's distance to it must stay within a pass mark. A tip offset that is
/// wrong by a few millimetres is otherwise only noticed once it has shifted a navigation.
///
/// Widget-free. evaluate() is pure: it reads one tracking sample and the tool's calibration matrix. A live display
/// uses evaluateSmoothed(), which judges the mean distance of the last few measurements: a pointer's tip jitters by
/// a few tenths of a millimetre from sample to sample (on the simulated tracker single samples of a true calibration
/// reach 1.3 mm), and a verdict that flickers with that jitter tells the user nothing about the calibration.
/// Distances are averaged, not tip positions: a wrong tip offset circles the divot while the tool tilts, and the
/// mean position of that circle could sit on the divot. Any thread, one caller at a time for the non-const calls.
class CalibrationVerification
{
public:
    /// What the user sets once per reference instrument.
    struct Settings
    {
        /// TrackerID::ID of the instrument the divot is fixed to; empty: the divot is fixed in tracker space.
        std::string referenceId;
        /// The divot in the reference frame (mm); empty until the user sets it.
        std::optional<Eigen::Vector3d> divot_Reference;
        /// Largest tip-to-divot distance (mm) that passes.
        double passMarkMm = 1.0;
    };

    enum class State : int
    {
        /// No divot position is set: there is nothing to measure against.
        NoDivot = 0,
        /// The tool is missing from the sample, not tracked, or of quality 0.
        ToolNotSeen = 1,
        /// The reference is missing from the sample, not tracked, or of quality 0.
        ReferenceNotSeen = 2,
        /// The tip and the divot are both known: distanceMm and passed hold.
        Measured = 3
    };

    /// One evaluation.
    struct Result
    {
        State state = State::NoDivot;
        /// The calibrated tip in the reference frame (mm), whenever tool and reference were seen (also without a
        /// divot, so that the divot can be taken from it).
        std::optional<Eigen::Vector3d> tip_Reference;
        /// Tip to divot (mm); 0 unless Measured.
        double distanceMm = 0.0;
        /// Measured and distanceMm <= the pass mark.
        bool passed = false;
    };

    /// evaluateSmoothed() averages over this many measurements in a row (a quarter of a second at 60 Hz).
    static constexpr size_t kSmoothingWindow = 15;

    CalibrationVerification() = default;
    explicit CalibrationVerification(Settings settings);

    [[nodiscard]] const Settings& settings() const { return m_settings; }
    /// Also restarts the smoothing: distances to another divot or reference do not mix.
    void setSettings(Settings settings);

    /// Judges the tool `toolId` in `sample`, calibrated by `calibration` (calibrated tool frame → tracked tool frame,
    /// as in InstrumentCalibrationDataComponent). A missing divot outranks a tool or reference that is not seen:
    /// setting it is the first thing the user has to do.
    [[nodiscard]] Result evaluate(const TrackingStreamData& sample, const std::string& toolId,
                                  const Eigen::Matrix4d& calibration) const;

    /// evaluate(), with distanceMm and passed taken from the mean distance of the last kSmoothingWindow measured
    /// results in a row. A result that is not Measured restarts the window and comes back as it is. The tips are
    /// kept the same way for setDivotFromTip().
    [[nodiscard]] Result evaluateSmoothed(const TrackingStreamData& sample, const std::string& toolId,
                                          const Eigen::Matrix4d& calibration);
    /// Forgets the distances measured so far; call it when the tool or its calibration changes, so that a new
    /// calibration is judged on its own measurements at once.
    void restartSmoothing();

    /// Takes the divot from the mean calibrated tip of the measurements evaluateSmoothed() saw in a row (the tool
    /// and the reference seen), for a user who trusts the pointer now resting in it: one sample's jitter would
    /// otherwise stay in the divot for good. False, leaving everything as it is, when the last evaluation saw no tip.
    bool setDivotFromTip();

    /// The calibrated tool frame → reference frame: reference⁻¹ · pose · calibration, or the tracker frame when
    /// `referenceId` is empty. Empty when the tool or the reference is not seen.
    [[nodiscard]] static std::optional<Eigen::Matrix4d> calibratedToolToReference(const TrackingStreamData& sample,
                                                                                  const std::string& toolId,
                                                                                  const Eigen::Matrix4d& calibration,
                                                                                  const std::string& referenceId);

private:
    Settings m_settings;
    /// The last measured distances (mm), oldest first.
    std::deque<double> m_distances;
    /// The last calibrated tips in the reference frame (mm), oldest first.
    std::deque<Eigen::Vector3d> m_tips;
};

} // namespace Kelvaros
