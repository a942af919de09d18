#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <Eigen/Core>

#include "core/Parameter.h"
#include "core/Signal.h"
#include "lib/DataList.h"
#include "lib/numerics/KalmanPoseSmoother.h"
#include "lib/numerics/MovingAverageWindow.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{

class AdaptivePoseFilter;
class Properties;

/// A derived tracking stream that follows one input tracking stream and re-emits each of its samples with every
/// instrument pose smoothed over time: by a quality-weighted moving average, or by a Kalman filter on position and
/// orientation. Instruments are told apart by their position in the sample; each position's state belongs to the
/// instrument id it was started with, and starts afresh when another instrument turns up at that position (a tracker
/// that leaves out a hidden tool, or reorders its tools), so that one tool's poses never enter another's smoothing.
/// Each emitted instrument keeps its id and gets " (smoothed)" appended to its name.
///
/// With "adaptive" set, the Kalman mode uses the speed-adaptive filter of the host numerics instead (strong smoothing
/// while a tool rests, no lag while it moves; see AdaptivePoseFilter): "translationError" and "angularError" are then
/// the expected noise of the input per axis, "processSigma" is not used, and qualities pass unchanged. A stored
/// configuration without the key leaves it off: stored configurations keep smoothing as they were set up to.
///
/// The stream's lifecycle is its input's: open, start, stop and close are passed on to the input, and every state
/// change of the input is taken over. The input must outlive this stream; destroying the stream closes the input when
/// the stream is not closed.
///
/// Threads and locks: smoothAndUpdate runs on the input's delivery thread. It smooths a sample under the stream mutex
/// and emits it after releasing it, so listeners of this stream run without any lock of this stream held and may call
/// any of its functions, configure() included. configure() reads the parameters without the mutex (their listeners
/// run then) and takes it only to reset the smoothing. instruments() takes a separate output lock, which is never held
/// while anything else runs.
class SmoothedTrackingStream
  : public TrackingStream
  , public SignalReceiver
{
public:
    enum class SmoothingMode : int
    {
        None = 0,            ///< poses passed through, names suffixed
        WeightedAverage = 1, ///< quality-weighted moving average over "smoothingInterval" samples
        Kalman = 2           ///< constant-velocity Kalman filters on position and orientation
    };

    /// Follows `input` (not owned, must not be null: std::invalid_argument otherwise).
    explicit SmoothedTrackingStream(TrackingStream* input);
    /// Follows the first TrackingStream of the list (std::invalid_argument when there is none).
    explicit SmoothedTrackingStream(const DataList& data);
    /// Drops the connections to the input first (waiting for a running sample), then closes the stream.
    ~SmoothedTrackingStream() override;

    /// True when the list holds exactly one item and it is a TrackingStream.
    [[nodiscard]] static bool isCompatible(const DataList& data);

    /// The followed stream.
    [[nodiscard]] TrackingStream* inputStream() const { return m_input; }

    /// The instruments of the last emitted sample. Any thread, also from a listener of this stream.
    [[nodiscard]] std::vector<TrackingInstrument> instruments() const override;
    /// InputThread: samples are emitted on the input's delivery thread.
    [[nodiscard]] ThreadingMode threadingMode() const override;

    /// Reads the parameters, updates their "hidden" attributes for the mode, and resets all smoothing state (the
    /// histories restart, the filters are rebuilt from the next sample). Null: nothing. Any thread, also from a
    /// listener of this stream.
    void configure(const Properties* properties) override;
    /// Writes the parameters, then replaces the attributes of the mode-dependent keys by "hidden: true" or
    /// "hidden: false". Null: nothing.
    void configuration(Properties* properties) const override;

    /// Smoothing mode; an unknown value passes samples on unchanged. A change sets the "hidden" attributes of the
    /// other parameters for the new mode at once (a property editor shows only the mode's fields).
    Parameter<SmoothingMode> p_smoothingMode{ "smoothingMode", SmoothingMode::Kalman, this };
    /// Moving-average window in samples (values below 1 are taken as 1).
    Parameter<int> p_smoothingInterval{ "smoothingInterval", 200, this };
    /// Expected translation noise of the input in millimetres (Kalman measurement standard deviation).
    Parameter<double> p_translationError{ "translationError", 0.5, this };
    /// Expected rotation noise of the input. Its label says degrees, but the Kalman mode divides it by 100 and uses
    /// that as the standard deviation of a quaternion component (1 gives 0.01, about 1.1 degrees of rotation), so
    /// the value is "degrees" only roughly; the adaptive mode reads it as degrees exactly. Name, label and meaning
    /// are what stored configurations and the command line rely on.
    Parameter<double> p_angularError{ "angularError", 1.0, this };
    /// Normalised process sigma of the Kalman filters: smaller smooths more, larger follows faster.
    Parameter<double> p_processSigma{ "processSigma", 0.5, this };
    /// Kalman mode: the speed-adaptive filter instead of the Kalman filters. Off by default.
    Parameter<bool> p_adaptive{ "adaptive", false, this };

protected:
    bool openImpl() override;
    bool closeImpl() override;
    bool startImpl() override;
    bool stopImpl() override;
    std::optional<WorkContinuation> doWork() override;

private:
    void connectInput();
    /// Listener of the input's samples, on its delivery thread.
    void smoothAndUpdate(const std::shared_ptr<const StreamData>& data);
    /// One sample's instruments smoothed by the current mode, also kept as the last output. Takes the mutex.
    [[nodiscard]] std::vector<TrackingInstrument> smooth(std::vector<TrackingInstrument> instruments,
                                                         int64_t deviceTimestamp);
    void updateHiddenAttributes();
    /// Forgets every history and filter. Mutex held.
    void resetSmoothing();

    /// Moving-average window of one instrument position (mode 1).
    struct AverageTrack
    {
        std::string instrumentId; ///< TrackerID::ID of the instrument the entries belong to
        MovingAverageWindow window;
    };
    /// Kalman state of one instrument position (mode 2).
    struct KalmanTrack
    {
        std::string instrumentId; ///< TrackerID::ID of the instrument the filters follow
        KalmanPoseSmoother smoother;
    };
    /// Adaptive filter of one instrument position (Kalman mode with "adaptive").
    struct AdaptiveTrack
    {
        std::string instrumentId; ///< TrackerID::ID of the instrument the filter follows
        std::unique_ptr<AdaptivePoseFilter> filter;
    };
    /// Window average of instrument position i (mode 1); returns the pose and quality to emit. Mutex held.
    std::pair<Eigen::Matrix4d, double> movingAverage(size_t i, const TrackingInstrument& instrument, size_t interval);
    /// Kalman step over all instruments of one sample (mode 2). Mutex held.
    void kalmanFilter(std::vector<TrackingInstrument>& instruments, int64_t deviceTimestamp);
    /// Adaptive step over all instruments of one sample (mode 2 with "adaptive"). Mutex held.
    void adaptiveFilter(std::vector<TrackingInstrument>& instruments, int64_t deviceTimestamp);

    TrackingStream* const m_input;

    // Guards the smoothing state below while one sample is smoothed or the state is reset. Plain: nothing that runs
    // under it calls out of the stream (no listener, no signal), so no thread can come back for it.
    mutable std::mutex m_mutex;
    std::vector<KalmanTrack> m_tracks;
    std::vector<AdaptiveTrack> m_adaptiveTracks;
    uint64_t m_lastDeviceTimestamp = 0;
    std::vector<AverageTrack> m_windows;
    uint32_t m_windowPosition = 0;

    // Separate from m_mutex, so that reading instruments() never waits for a sample being smoothed.
    mutable std::mutex m_outputMutex;
    std::vector<TrackingInstrument> m_lastOutput;
};

} // namespace Kelvaros
