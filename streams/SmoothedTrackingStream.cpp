#include "SmoothedTrackingStream.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <tuple>

#include <Eigen/Geometry>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/numerics/AdaptivePoseFilter.h"
#include "lib/numerics/KalmanPosition.h"
#include "lib/numerics/KalmanQuaternion.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{

namespace
{
constexpr const char* kLogCategory = "SmoothedTrackingStream";
constexpr const char* kNameSuffix = " (smoothed)";

TrackingStream* requireInput(TrackingStream* input)
{
    if (!input)
        throw std::invalid_argument("a smoothed tracking stream needs an input tracking stream");
    return input;
}

TrackingStream* firstTrackingStream(const DataList& data)
{
    const std::vector<TrackingStream*> streams = data.getAll<TrackingStream>();
    return streams.empty() ? nullptr : streams.front();
}

void appendNameSuffix(TrackingInstrument& instrument)
{
    instrument.id.setName(instrument.id.name() + kNameSuffix);
}

/// Unit quaternion (w, x, y, z) of a pose's rotation, with the sign the conversion gives.
Eigen::Vector4d unitQuaternion(const Eigen::Matrix4d& pose)
{
    Eigen::Quaterniond q(Eigen::Matrix3d(pose.topLeftCorner<3, 3>()));
    const double norm = q.norm();
    if (norm > 0.0)
        q.coeffs() /= norm;
    return Eigen::Vector4d(q.w(), q.x(), q.y(), q.z());
}

Eigen::Matrix3d rotationOf(const Eigen::Vector4d& wxyz)
{
    return Eigen::Quaterniond(wxyz[0], wxyz[1], wxyz[2], wxyz[3]).toRotationMatrix();
}
} // namespace

SmoothedTrackingStream::SmoothedTrackingStream(TrackingStream* input)
  : TrackingStream(requireInput(input)->name() + kNameSuffix), m_input(input)
{
    // "Avergage" is spelt so on purpose: saved configurations and peers read this text as it is.
    p_smoothingMode.setAttribute("values", "None, Weighted Avergage, Kalman Filter");
    p_smoothingInterval.setLabel("Smoothing Interval");
    p_smoothingInterval.setAttribute("min", "1");
    p_smoothingInterval.setAttribute("max", "20000");
    p_smoothingInterval.setAttribute("hidden", "true");
    p_translationError.setLabel("Translation Error [mm]");
    p_angularError.setLabel("Angular Error [degree]");
    p_processSigma.setLabel("Process Sigma [a.u.]");
    p_processSigma.setAttribute(
      "tooltip", "Normalized Kalman process sigma (can vary by orders of magnitudes, i.e. 0.0001 to 100 possible)");
    p_adaptive.setLabel("Adaptive Smoothing");
    // A property editor shows the parameters' own attributes: they follow a mode picked there at once, not only at
    // the next configure().
    p_smoothingMode.signalValueChanged.connect(static_cast<SignalReceiver*>(this),
                                               [this](SmoothingMode) { updateHiddenAttributes(); });
    connectInput();
}

SmoothedTrackingStream::SmoothedTrackingStream(const DataList& data) : SmoothedTrackingStream(firstTrackingStream(data))
{
}

SmoothedTrackingStream::~SmoothedTrackingStream()
{
    // The input's thread must be out of smoothAndUpdate before the filters and histories go.
    disconnectAll();
    closeOnDestruction();
}

bool SmoothedTrackingStream::isCompatible(const DataList& data)
{
    return data.size() == 1 && dynamic_cast<TrackingStream*>(data[0]) != nullptr;
}

void SmoothedTrackingStream::connectInput()
{
    auto* receiver = static_cast<SignalReceiver*>(this);
    m_input->signalStateChanged.connect(receiver, [this](State, State newState) { changeState(newState); });
    m_input->signalParametersChanged.connect(receiver, [this](ParameterBase* parameter)
                                             { signalParametersChanged.emitSignal(parameter); });
    m_input->signalInstrumentsChanged.connect(receiver, [this] { signalInstrumentsChanged.emitSignal(); });
    m_input->signalStreamData.connect(receiver,
                                      [this](const std::shared_ptr<const StreamData>& data) { smoothAndUpdate(data); });
}

std::vector<TrackingInstrument> SmoothedTrackingStream::instruments() const
{
    std::lock_guard<std::mutex> lock(m_outputMutex);
    return m_lastOutput;
}

Stream::ThreadingMode SmoothedTrackingStream::threadingMode() const
{
    return ThreadingMode::InputThread;
}

bool SmoothedTrackingStream::openImpl()
{
    return m_input->open();
}

bool SmoothedTrackingStream::closeImpl()
{
    return m_input->close();
}

bool SmoothedTrackingStream::startImpl()
{
    return m_input->start();
}

bool SmoothedTrackingStream::stopImpl()
{
    return m_input->stop();
}

std::optional<Stream::WorkContinuation> SmoothedTrackingStream::doWork()
{
    return std::nullopt;
}

void SmoothedTrackingStream::configure(const Properties* properties)
{
    if (!properties)
        return;
    std::lock_guard<std::mutex> lock(m_mutex);
    TrackingStream::configure(properties);
    updateHiddenAttributes();
    resetSmoothing();
}

void SmoothedTrackingStream::configuration(Properties* properties) const
{
    if (!properties)
        return;
    TrackingStream::configuration(properties);
    const int mode = static_cast<int>(p_smoothingMode.value());
    properties->setParamAttributes(p_smoothingInterval.name(),
                                   mode == 0 || mode == 2 ? "hidden: true" : "hidden: false");
    const char* kalmanHidden = mode < 2 ? "hidden: true" : "hidden: false";
    properties->setParamAttributes(p_translationError.name(), kalmanHidden);
    properties->setParamAttributes(p_angularError.name(), kalmanHidden);
    properties->setParamAttributes(p_processSigma.name(), kalmanHidden);
    properties->setParamAttributes(p_adaptive.name(), mode == 2 ? "hidden: false" : "hidden: true");
}

void SmoothedTrackingStream::updateHiddenAttributes()
{
    const int mode = static_cast<int>(p_smoothingMode.value());
    p_smoothingInterval.setAttribute("hidden", mode == 0 || mode == 2 ? "true" : "false");
    const char* kalmanHidden = mode == 0 || mode == 1 ? "true" : "false";
    p_translationError.setAttribute("hidden", kalmanHidden);
    p_angularError.setAttribute("hidden", kalmanHidden);
    p_processSigma.setAttribute("hidden", kalmanHidden);
    p_adaptive.setAttribute("hidden", mode == 2 ? "false" : "true");
}

void SmoothedTrackingStream::resetSmoothing()
{
    m_windows.clear();
    m_tracks.clear();
    m_adaptiveTracks.clear();
    m_windowPosition = 0;
    m_lastDeviceTimestamp = 0;
}

void SmoothedTrackingStream::smoothAndUpdate(const std::shared_ptr<const StreamData>& data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!sample)
    {
        Log::log(Log::Error, kLogCategory, "Received data is not of type TrackingStreamData");
        return;
    }
    std::vector<TrackingInstrument> instruments = sample->instruments();
    const int64_t deviceTimestamp = sample->timestampDevice();

    switch (p_smoothingMode.value())
    {
        case SmoothingMode::None:
            for (TrackingInstrument& instrument : instruments)
                appendNameSuffix(instrument);
            break;
        case SmoothingMode::WeightedAverage:
        {
            // The "min" attribute only guards the editor; a file may still hold 0 or less.
            const size_t interval = static_cast<size_t>(std::max(1, p_smoothingInterval.value()));
            for (size_t i = 0; i < instruments.size(); ++i)
            {
                std::tie(instruments[i].matrix, instruments[i].quality) = movingAverage(i, instruments[i], interval);
                appendNameSuffix(instruments[i]);
            }
            m_windowPosition = static_cast<uint32_t>((size_t(m_windowPosition) + 1) % interval);
            break;
        }
        case SmoothingMode::Kalman:
            if (p_adaptive.value())
                adaptiveFilter(instruments, deviceTimestamp);
            else
                kalmanFilter(instruments, deviceTimestamp);
            break;
        default:
            break;
    }
    m_lastDeviceTimestamp = static_cast<uint64_t>(deviceTimestamp);

    {
        std::lock_guard<std::mutex> outputLock(m_outputMutex);
        m_lastOutput = instruments;
    }
    auto smoothed = std::make_shared<TrackingStreamData>(this, std::move(instruments));
    smoothed->setTimestampArrival(StreamData::nowMicroseconds());
    // Kept so that recorders and further smoothing downstream still see the device's clock.
    smoothed->setTimestampDevice(deviceTimestamp);
    emitStreamData(std::move(smoothed));
}

std::pair<Eigen::Matrix4d, double> SmoothedTrackingStream::movingAverage(size_t i, const TrackingInstrument& instrument,
                                                                         size_t interval)
{
    const Eigen::Matrix4d& pose = instrument.matrix;
    const double quality = instrument.quality;
    if (i > m_windows.size())
    {
        Log::log(Log::Error, kLogCategory, "Index out of range");
        return { pose, quality };
    }
    if (i == m_windows.size() || m_windows[i].instrumentId != instrument.id.ID())
    {
        // A new position, or another tool at this one: the window starts with this sample alone.
        AverageWindow fresh{ instrument.id.ID(), { pose }, { quality }, { unitQuaternion(pose) } };
        if (i == m_windows.size())
            m_windows.push_back(std::move(fresh));
        else
            m_windows[i] = std::move(fresh);
        return { pose, quality };
    }

    AverageWindow& window = m_windows[i];
    std::vector<Eigen::Matrix4d>& poses = window.poses;
    std::vector<double>& qualities = window.qualities;
    std::vector<Eigen::Vector4d>& rotations = window.rotations;
    if (poses.size() >= interval)
    {
        // A window longer than the interval (the interval was lowered) keeps its extra entries; only the slot the
        // ring has reached, or the last one inside the interval, is overwritten.
        const size_t slot = std::min(interval - 1, size_t(m_windowPosition));
        m_windowPosition = static_cast<uint32_t>(slot);
        poses[slot] = pose;
        qualities[slot] = quality;
        rotations[slot] = unitQuaternion(pose);
    }
    else
    {
        poses.push_back(pose);
        qualities.push_back(quality);
        rotations.push_back(unitQuaternion(pose));
    }

    // Quality-weighted mean. q and -q are the same rotation, so each quaternion is first flipped into the
    // hemisphere of entry 0; the normalised weighted sum is then the chordal mean, which for the small spread of a
    // smoothing window is the rotation average to second order.
    const Eigen::Vector4d& reference = rotations[0];
    Eigen::Vector3d translationSum = Eigen::Vector3d::Zero();
    Eigen::Vector4d quaternionSum = Eigen::Vector4d::Zero();
    double weightSum = 0.0;
    size_t count = 0;
    for (size_t j = 0; j < poses.size(); ++j)
    {
        const double weight = qualities[j];
        translationSum += weight * poses[j].topRightCorner<3, 1>();
        if (rotations[j].dot(reference) > 0.0)
            quaternionSum += weight * rotations[j];
        else
            quaternionSum -= weight * rotations[j];
        weightSum += weight;
        ++count;
    }

    Eigen::Matrix4d average = Eigen::Matrix4d::Identity();
    if (count >= 1 && weightSum > 0.0)
    {
        average.topLeftCorner<3, 3>() = rotationOf(quaternionSum.normalized());
        average.topRightCorner<3, 1>() = translationSum / weightSum;
    }
    return { average, weightSum / static_cast<double>(count) };
}

void SmoothedTrackingStream::kalmanFilter(std::vector<TrackingInstrument>& instruments, int64_t deviceTimestamp)
{
    // dt in device-clock units (microseconds); 1 before the first timestamp. A timestamp equal to or earlier than the
    // previous one means no time has passed that the filters could predict over: the formula below would give an
    // infinite process variance (or, read as an unsigned difference, an absurd step of about 1.8e19). Such a sample is
    // fused without prediction and leaves the process variances as they were.
    double dt = 1.0;
    bool timeElapsed = true;
    if (m_lastDeviceTimestamp != 0)
    {
        timeElapsed = deviceTimestamp > static_cast<int64_t>(m_lastDeviceTimestamp);
        dt = timeElapsed ? static_cast<double>(static_cast<uint64_t>(deviceTimestamp) - m_lastDeviceTimestamp) : 1.0;
    }

    // Process sigmas scaled by 1/dt^2 with measurement sigmas e: the filters' tracking index sqrt(q) dt^2 / sqrt(r) is
    // then processSigma whatever the rate, so one setting behaves alike at 60 Hz and at 400 Hz.
    const double translationError = p_translationError.value();
    const double angularError = p_angularError.value() / 100.0;
    const double processSigma = p_processSigma.value();
    const double positionSigma = translationError / (dt * dt) * processSigma;
    const double rotationSigma = angularError / (dt * dt) * processSigma;
    const KalmanVariances variances{ positionSigma * positionSigma, rotationSigma * rotationSigma,
                                     translationError * translationError, angularError * angularError };
    const double step = timeElapsed ? dt : 0.0;

    const size_t n = instruments.size();
    if (m_tracks.size() != n)
    {
        // First sample, or the instrument list changed: every position starts afresh, emitted unfiltered.
        m_tracks.clear();
        for (const TrackingInstrument& instrument : instruments)
            m_tracks.push_back(startTrack(instrument, variances));
        return;
    }

    for (size_t i = 0; i < n; ++i)
    {
        TrackingInstrument& instrument = instruments[i];
        KalmanTrack& track = m_tracks[i];
        if (track.instrumentId != instrument.id.ID())
        {
            // Another tool now holds this position (the tracker reordered its tools at the same count): the filters
            // must not carry the previous tool's motion into this one.
            track = startTrack(instrument, variances);
            appendNameSuffix(instrument);
            continue;
        }
        // Quality exactly 0 means the tracker has no measurement: the filters predict instead of fusing.
        const bool measured = instrument.quality != 0.0;

        KalmanPosition& position = *track.position;
        if (timeElapsed)
            position.processVariance = variances.positionProcess;
        position.setMeasurementVariance(variances.positionMeasurement);
        const Eigen::Vector3d p = measured
                                    ? position.update(Eigen::Vector3d(instrument.matrix.topRightCorner<3, 1>()), step)
                                    : position.update(step);

        KalmanQuaternion& orientation = *track.orientation;
        if (timeElapsed)
            orientation.processVariance = variances.rotationProcess;
        orientation.setMeasurementVariance(variances.rotationMeasurement);
        const Eigen::Vector4d u =
          measured ? orientation.update(unitQuaternion(instrument.matrix), step) : orientation.update(step);

        instrument.matrix.topLeftCorner<3, 3>() = rotationOf(u);
        instrument.matrix.topRightCorner<3, 1>() = p;

        double& smoothedQuality = track.smoothedQuality;
        smoothedQuality =
          std::sqrt((smoothedQuality * smoothedQuality + instrument.quality * instrument.quality) * 0.5);
        instrument.quality = smoothedQuality;
        appendNameSuffix(instrument);
    }
}

void SmoothedTrackingStream::adaptiveFilter(std::vector<TrackingInstrument>& instruments, int64_t deviceTimestamp)
{
    // The expected noise only seeds the filter's own estimate; a value no tracker has (0 or less, from a hand-edited
    // file) keeps the filter's default. Changing it restarts the filters, as configure would.
    AdaptivePoseFilter::Settings settings;
    if (p_translationError.value() > 0.0)
        settings.positionNoiseMm = p_translationError.value();
    if (p_angularError.value() > 0.0)
        settings.rotationNoiseDegrees = p_angularError.value();
    m_adaptiveTracks.resize(instruments.size());
    for (size_t i = 0; i < instruments.size(); ++i)
    {
        TrackingInstrument& instrument = instruments[i];
        AdaptiveTrack& track = m_adaptiveTracks[i];
        if (!track.filter || track.instrumentId != instrument.id.ID() ||
            track.filter->settings().positionNoiseMm != settings.positionNoiseMm ||
            track.filter->settings().rotationNoiseDegrees != settings.rotationNoiseDegrees)
            track = { instrument.id.ID(), std::make_unique<AdaptivePoseFilter>(settings) };
        // Quality exactly 0 means the tracker has no measurement: the last estimate is held, if there is one.
        if (instrument.quality != 0.0)
            instrument.matrix = track.filter->update(instrument.matrix, deviceTimestamp);
        else if (track.filter->trackLength() > 0)
            instrument.matrix = track.filter->hold();
        appendNameSuffix(instrument);
    }
}

SmoothedTrackingStream::KalmanTrack SmoothedTrackingStream::startTrack(const TrackingInstrument& instrument,
                                                                       const KalmanVariances& variances)
{
    KalmanTrack track{ instrument.id.ID(), std::make_unique<KalmanPosition>(), std::make_unique<KalmanQuaternion>(),
                       instrument.quality };
    track.position->init(instrument.matrix.topRightCorner<3, 1>(), variances.positionProcess);
    track.position->processVariance = variances.positionProcess;
    track.position->setMeasurementVariance(variances.positionMeasurement);
    track.orientation->init(unitQuaternion(instrument.matrix), variances.rotationProcess);
    track.orientation->processVariance = variances.rotationProcess;
    track.orientation->setMeasurementVariance(variances.rotationMeasurement);
    return track;
}

} // namespace Kelvaros
