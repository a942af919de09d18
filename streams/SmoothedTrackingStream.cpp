#include "SmoothedTrackingStream.h"

#include <algorithm>
#include <stdexcept>
#include <tuple>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/numerics/AdaptivePoseFilter.h"
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
    // Reading the parameters tells their listeners of each change; none of them may run under the lock, which a
    // listener reconfiguring the stream would otherwise take a second time on its own thread. The parameters guard
    // themselves, and a sample that runs in between is smoothed with the old state, which the reset then drops.
    TrackingStream::configure(properties);
    updateHiddenAttributes();
    std::lock_guard<std::mutex> lock(m_mutex);
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
    const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!sample)
    {
        Log::log(Log::Error, kLogCategory, "Received data is not of type TrackingStreamData");
        return;
    }
    const int64_t deviceTimestamp = sample->timestampDevice();
    auto smoothed = std::make_shared<TrackingStreamData>(this, smooth(sample->instruments(), deviceTimestamp));
    smoothed->setTimestampArrival(StreamData::nowMicroseconds());
    // Kept so that recorders and further smoothing downstream still see the device's clock.
    smoothed->setTimestampDevice(deviceTimestamp);
    // Without the lock: listeners run on this thread and may call back into the stream, configure() included.
    emitStreamData(std::move(smoothed));
}

std::vector<TrackingInstrument> SmoothedTrackingStream::smooth(std::vector<TrackingInstrument> instruments,
                                                               int64_t deviceTimestamp)
{
    std::lock_guard<std::mutex> lock(m_mutex);
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
            m_windowPosition = MovingAverageWindow::advance(m_windowPosition, interval);
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
    std::lock_guard<std::mutex> outputLock(m_outputMutex);
    m_lastOutput = instruments;
    return instruments;
}

std::pair<Eigen::Matrix4d, double> SmoothedTrackingStream::movingAverage(size_t i, const TrackingInstrument& instrument,
                                                                         size_t interval)
{
    if (i > m_windows.size())
    {
        Log::log(Log::Error, kLogCategory, "Index out of range");
        return { instrument.matrix, instrument.quality };
    }
    // A new position, or another tool at this one: the window starts with this sample alone.
    if (i == m_windows.size())
        m_windows.push_back({ instrument.id.ID(), {} });
    else if (m_windows[i].instrumentId != instrument.id.ID())
        m_windows[i] = { instrument.id.ID(), {} };
    return m_windows[i].window.add(instrument.matrix, instrument.quality, interval, m_windowPosition);
}

void SmoothedTrackingStream::kalmanFilter(std::vector<TrackingInstrument>& instruments, int64_t deviceTimestamp)
{
    const KalmanPoseSmoother::Interval interval = KalmanPoseSmoother::interval(m_lastDeviceTimestamp, deviceTimestamp);
    const KalmanPoseSmoother::Settings settings{ p_translationError.value(), p_angularError.value(),
                                                 p_processSigma.value() };
    if (m_tracks.size() != instruments.size())
    {
        // First sample, or the instrument list changed: every position starts afresh, emitted unfiltered.
        m_tracks.clear();
        for (const TrackingInstrument& instrument : instruments)
        {
            m_tracks.push_back({ instrument.id.ID(), {} });
            static_cast<void>(
              m_tracks.back().smoother.smooth(instrument.matrix, instrument.quality, settings, interval));
        }
        return;
    }
    for (size_t i = 0; i < instruments.size(); ++i)
    {
        TrackingInstrument& instrument = instruments[i];
        KalmanTrack& track = m_tracks[i];
        // Another tool now holds this position (the tracker reordered its tools at the same count): the filters must
        // not carry the previous tool's motion into this one, so they start afresh at this sample.
        if (track.instrumentId != instrument.id.ID())
            track = { instrument.id.ID(), {} };
        std::tie(instrument.matrix, instrument.quality) =
          track.smoother.smooth(instrument.matrix, instrument.quality, settings, interval);
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

} // namespace Kelvaros
