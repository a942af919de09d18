#include "stream/sources/SimulatedTrackingStream.h"

#include <cmath>
#include <utility>

#include <fmt/format.h>

#include "core/Log.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{

namespace
{
constexpr const char* kCategory = "SimulatedTrackingStream";
// Further behind schedule than this (a pause, a debugger, an overloaded machine), the schedule restarts at the
// current frame: a burst of stale frames would look like a tool that jumps.
constexpr std::chrono::milliseconds kMaximumLag(250);
} // namespace

SimulatedTrackingStream::SimulatedTrackingStream(std::string name) : TrackingStream(std::move(name)) {}

SimulatedTrackingStream::~SimulatedTrackingStream()
{
    closeOnDestruction();
}

TrackingSimulator::Settings SimulatedTrackingStream::currentSettings() const
{
    TrackingSimulator::Settings settings;
    settings.rateHz = rate.value();
    settings.noiseMm = noise.value();
    settings.dropoutProbability = dropoutProbability.value();
    settings.scenario =
      TrackingSimulator::scenarioFromName(scenario.value()).value_or(TrackingSimulator::Scenario::Pivot);
    settings.seed = uint64_t(uint32_t(seed.value()));
    return settings;
}

TrackingSimulator SimulatedTrackingStream::simulator() const
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_simulator)
            return *m_simulator;
    }
    return TrackingSimulator(currentSettings());
}

int64_t SimulatedTrackingStream::frameForTimestamp(int64_t timestampDevice) const
{
    const TrackingSimulator current = simulator();
    // Invert round(k · 1e6 / rate) near its real-valued solution, then confirm exactly.
    const int64_t guess =
      std::llround(double(timestampDevice - current.deviceTimestamp(0)) * current.settings().rateHz / 1e6);
    for (int64_t k = std::max<int64_t>(0, guess - 1); k <= guess + 1; ++k)
        if (current.deviceTimestamp(k) == timestampDevice)
            return k;
    return -1;
}

int64_t SimulatedTrackingStream::numDelivered() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_delivered;
}

bool SimulatedTrackingStream::waitUntilDelivered(int64_t count, std::chrono::milliseconds timeout)
{
    if (isDeliveryThread())
    {
        Log::logf(Log::Error, kCategory, "Stream '{}': waitUntilDelivered called by one of its own listeners", name());
        return false;
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_deliveredCondition.wait_for(lock, timeout, [&] { return m_delivered >= count; });
}

std::string SimulatedTrackingStream::describe() const
{
    const TrackingSimulator current = simulator();
    return fmt::format("{} ({}, simulated {} at {} Hz, {} frames delivered)", name(), stateName(state()),
                       TrackingSimulator::scenarioName(current.settings().scenario), current.settings().rateHz,
                       numDelivered());
}

void SimulatedTrackingStream::reset()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nextFrame = 0;
    m_reanchor = true;
}

bool SimulatedTrackingStream::openImpl()
{
    const std::string scenarioText = scenario.value();
    if (!TrackingSimulator::scenarioFromName(scenarioText))
    {
        Log::logf(Log::Error, kCategory,
                  "Stream '{}': unknown scenario '{}' (expected pivot, spin, landmarks or insertion)", name(),
                  scenarioText);
        return false;
    }
    const TrackingSimulator::Settings settings = currentSettings();
    if (const std::string problem = TrackingSimulator::validate(settings); !problem.empty())
    {
        Log::logf(Log::Error, kCategory, "Stream '{}': {}", name(), problem);
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_simulator = std::make_shared<const TrackingSimulator>(settings);
    m_nextFrame = 0;
    m_reanchor = true;
    return true;
}

bool SimulatedTrackingStream::startImpl()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_freeRunning = freeRunning.value();
    m_reanchor = true;
    return true;
}

bool SimulatedTrackingStream::resumeImpl()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_reanchor = true;
    return true;
}

std::optional<Stream::WorkContinuation> SimulatedTrackingStream::doWork()
{
    using namespace std::chrono;
    std::shared_ptr<const TrackingSimulator> simulator;
    int64_t frame = 0;
    bool freeRun = false;
    const auto due = [this](int64_t k)
    {
        const double offset = double(k - m_anchorFrame) * 1e6 / m_simulator->settings().rateHz;
        return m_anchorTime + microseconds(std::llround(offset));
    };
    // A scenario chosen while the tracker runs takes over at the next frame: a user switching the simulated hand
    // from pivoting to spinning (as a calibration asks for) need not restart the tracker. Read before the lock,
    // since the parameter has a lock of its own.
    const auto wanted = TrackingSimulator::scenarioFromName(scenario.value());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (!m_simulator)
            return std::nullopt;
        if (wanted && *wanted != m_simulator->settings().scenario)
        {
            TrackingSimulator::Settings settings = m_simulator->settings();
            settings.scenario = *wanted;
            m_simulator = std::make_shared<const TrackingSimulator>(settings);
        }
        const auto now = steady_clock::now();
        freeRun = m_freeRunning;
        if (!freeRun)
        {
            if (m_reanchor || now - due(m_nextFrame) > kMaximumLag)
            {
                m_anchorTime = now;
                m_anchorFrame = m_nextFrame;
                m_reanchor = false;
            }
            const auto when = due(m_nextFrame);
            if (now < when)
                return WorkContinuation::after(duration_cast<microseconds>(when - now) + microseconds(1));
        }
        simulator = m_simulator;
        frame = m_nextFrame++;
    }

    TrackingSimulator::Frame measured = simulator->frame(frame);
    auto sample = std::make_shared<TrackingStreamData>(this, std::move(measured.instruments));
    sample->setTimestampDevice(measured.timestampDevice);
    sample->setTimestampArrival(StreamData::nowMicroseconds());
    sample->components().add(std::make_unique<TrackingInstrumentFiducialsData>(std::move(measured.fiducials)));
    emitStreamData(std::move(sample));

    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_delivered;
    }
    m_deliveredCondition.notify_all();
    if (freeRun)
        return WorkContinuation::immediately();

    std::lock_guard<std::mutex> lock(m_mutex);
    const auto now = steady_clock::now();
    const auto when = due(m_nextFrame);
    return WorkContinuation::after(now < when ? duration_cast<microseconds>(when - now) + microseconds(1)
                                              : microseconds(0));
}

} // namespace Kelvaros
