#include "stream/Stream.h"

#include <exception>
#include <utility>

#include <QUuid>

#include "core/Log.h"
#include "lib/AlgorithmController.h"

namespace Kelvaros
{

namespace
{
constexpr const char* logCategory = "Stream";

std::string newUuid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toStdString();
}

struct DefaultControllerFactoryHolder
{
    std::mutex mutex;
    Stream::DefaultControllerFactory factory;
};

DefaultControllerFactoryHolder& defaultControllerFactory()
{
    static DefaultControllerFactoryHolder holder;
    return holder;
}
} // namespace

Stream::Stream(std::string name) : Data(std::move(name)), m_uuid(newUuid()) {}

Stream::~Stream()
{
    // A concrete stream closes itself in its own destructor (closeOnDestruction). If it did not, its delivery
    // thread may still be inside doWork of a derived part that no longer exists; joining is all that is left to
    // do, and it at least keeps std::thread from terminating the process.
    if (m_thread.joinable())
    {
        Log::logf(Log::Error, logCategory,
                  "Stream '{}' destroyed with its delivery thread running: its destructor must call "
                  "closeOnDestruction()",
                  name());
        stopDeliveryThread();
    }
    else if (state() != State::Closed)
    {
        Log::logf(Log::Warning, logCategory, "Stream '{}' destroyed while {}: its destructor must close it", name(),
                  stateName(state()));
    }
}

std::string Stream::describe() const
{
    return fmt::format("{} ({})", name(), stateName(state()));
}

Stream::ThreadingMode Stream::threadingMode() const
{
    return ThreadingMode::OwnThread;
}

bool Stream::supportsAsyncOperation() const
{
    return false;
}

bool Stream::supportsPausing() const
{
    return false;
}

void Stream::reset() {}

bool Stream::isRunning() const
{
    return state() == State::Running;
}

std::string Stream::uuid() const
{
    return m_uuid;
}

std::unique_ptr<AlgorithmController> Stream::createDefaultStreamController()
{
    DefaultControllerFactory factory;
    {
        DefaultControllerFactoryHolder& holder = defaultControllerFactory();
        std::lock_guard<std::mutex> lock(holder.mutex);
        factory = holder.factory;
    }
    return factory ? factory(*this) : nullptr;
}

void Stream::setDefaultControllerFactory(DefaultControllerFactory factory)
{
    DefaultControllerFactoryHolder& holder = defaultControllerFactory();
    std::lock_guard<std::mutex> lock(holder.mutex);
    holder.factory = std::move(factory);
}

bool Stream::openImpl()
{
    return true;
}

bool Stream::closeImpl()
{
    return true;
}

bool Stream::startImpl()
{
    return true;
}

bool Stream::stopImpl()
{
    return true;
}

bool Stream::pauseImpl()
{
    return true;
}

bool Stream::resumeImpl()
{
    return true;
}

bool Stream::workerThreadRequiresOpenGl() const
{
    return false;
}

std::optional<Stream::WorkContinuation> Stream::doWork()
{
    return std::nullopt;
}

bool Stream::worksWhilePaused() const
{
    return false;
}

std::vector<TrackingInstrument> Stream::devices() const
{
    return instruments();
}

std::vector<TrackingInstrument> Stream::instruments() const
{
    return {};
}

std::vector<TrackingInstrument> Stream::activeInstruments() const
{
    return {};
}

size_t Stream::numInstruments() const
{
    return instruments().size();
}

bool Stream::supportsMainInstrumentSelection() const
{
    return true;
}

bool Stream::supportsInstrumentRenaming() const
{
    return false;
}

bool Stream::open()
{
    if (refuseOnDeliveryThread("open"))
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_lifecycleMutex);
    switch (state())
    {
        case State::Opened:
        case State::Running:
        case State::Paused:
            return true;
        case State::Disconnected:
            refuseTransition("open");
            return false;
        case State::Closed:
            break;
    }
    if (!openImpl())
        return false;
    changeState(State::Opened);
    return true;
}

bool Stream::start()
{
    if (refuseOnDeliveryThread("start"))
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_lifecycleMutex);
    const State current = state();
    if (current == State::Running)
        return true;
    if (current != State::Opened)
    {
        refuseTransition("start");
        return false;
    }
    if (!startImpl())
        return false;
    m_started = true;
    changeState(State::Running);
    // A state listener may have stopped the stream again from inside changeState (the lifecycle mutex is
    // recursive): then there is nothing to deliver.
    if (m_started && threadingMode() == ThreadingMode::OwnThread && !m_thread.joinable())
        startDeliveryThread();
    return true;
}

bool Stream::stop()
{
    if (refuseOnDeliveryThread("stop"))
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_lifecycleMutex);
    return stopLocked();
}

bool Stream::stopLocked()
{
    const State current = state();
    const bool running = current == State::Running || current == State::Paused ||
                         (current == State::Disconnected && m_started) || m_thread.joinable();
    if (!running)
        return true;
    // The thread goes first so that doWork never overlaps stopImpl, which may release the device.
    const bool hadThread = m_thread.joinable();
    stopDeliveryThread();
    if (!stopImpl())
    {
        if (hadThread && isStateOneOf({ State::Running, State::Paused, State::Disconnected }))
            startDeliveryThread();
        return false;
    }
    m_started = false;
    changeState(State::Opened);
    return true;
}

bool Stream::close()
{
    if (refuseOnDeliveryThread("close"))
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_lifecycleMutex);
    if (state() == State::Closed && !m_thread.joinable())
        return true;
    if (!stopLocked())
        return false;
    if (!closeImpl())
        return false;
    changeState(State::Closed);
    return true;
}

bool Stream::pause()
{
    if (refuseOnDeliveryThread("pause"))
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_lifecycleMutex);
    const State current = state();
    if (current == State::Paused)
        return true;
    if (current != State::Running)
    {
        refuseTransition("pause");
        return false;
    }
    if (!supportsPausing())
    {
        Log::logf(Log::Warning, logCategory, "Stream '{}' cannot pause: it does not support pausing", name());
        return false;
    }
    if (!pauseImpl())
        return false;
    changeState(State::Paused);
    return true;
}

bool Stream::resume()
{
    if (refuseOnDeliveryThread("resume"))
        return false;
    std::lock_guard<std::recursive_mutex> lock(m_lifecycleMutex);
    const State current = state();
    if (current == State::Running)
        return true;
    if (current != State::Paused)
    {
        refuseTransition("resume");
        return false;
    }
    if (!resumeImpl())
        return false;
    changeState(State::Running);
    return true;
}

bool Stream::isStateOneOf(std::initializer_list<State> states) const
{
    const State current = state();
    for (State s : states)
        if (s == current)
            return true;
    return false;
}

void Stream::changeState(State newState)
{
    const State old = m_state.exchange(newState);
    // The delivery loop reads the state inside its wait predicate; passing through its mutex before notifying
    // makes sure a loop that just found the stream paused is already waiting when the notification comes.
    {
        std::lock_guard<std::mutex> lock(m_workMutex);
    }
    m_workCondition.notify_all();
    if (old != newState)
        signalStateChanged.emitSignal(old, newState);
}

const char* Stream::stateName(State state)
{
    switch (state)
    {
        case State::Closed:
            return "Closed";
        case State::Disconnected:
            return "Disconnected";
        case State::Opened:
            return "Opened";
        case State::Running:
            return "Running";
        case State::Paused:
            return "Paused";
    }
    return "Unknown";
}

std::string Stream::mainInstrumentId() const
{
    std::lock_guard<std::mutex> lock(m_mainInstrumentMutex);
    return m_mainInstrumentId;
}

bool Stream::setMainInstrumentId(const std::string& id)
{
    if (!supportsMainInstrumentSelection())
    {
        Log::logf(Log::Warning, logCategory, "Stream '{}' does not support choosing its main instrument", name());
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mainInstrumentMutex);
        if (m_mainInstrumentId == id)
            return true;
        m_mainInstrumentId = id;
    }
    signalMainInstrumentIdChanged.emitSignal(id);
    return true;
}

void Stream::emitStreamData(std::shared_ptr<const StreamData> data)
{
    if (!data)
        return;
    noteEmitted(*data);
    signalStreamData.emitSignal(data);
}

void Stream::noteEmitted(const StreamData& /*data*/) {}

void Stream::wakeDeliveryThread()
{
    {
        std::lock_guard<std::mutex> lock(m_workMutex);
        m_wakePending = true;
    }
    m_workCondition.notify_all();
}

bool Stream::isDeliveryThread() const
{
    return m_deliveryThreadId.load() == std::this_thread::get_id();
}

void Stream::closeOnDestruction()
{
    if (isDeliveryThread())
    {
        // Joining our own thread is impossible; this is a fatal misuse (the std::thread member will terminate).
        Log::logf(Log::Error, logCategory, "Stream '{}' destroyed on its own delivery thread", name());
        return;
    }
    std::lock_guard<std::recursive_mutex> lock(m_lifecycleMutex);
    bool closed = false;
    try
    {
        closed = close();
    }
    catch (const std::exception& e)
    {
        Log::logf(Log::Warning, logCategory, "Closing stream '{}' failed: {}", name(), e.what());
    }
    catch (...)
    {
        Log::logf(Log::Warning, logCategory, "Closing stream '{}' failed", name());
    }
    if (!closed)
    {
        Log::logf(Log::Warning, logCategory, "Stream '{}' did not close cleanly before destruction", name());
        stopDeliveryThread();
        m_started = false;
        changeState(State::Closed);
    }
}

bool Stream::refuseOnDeliveryThread(const char* call) const
{
    if (!isDeliveryThread())
        return false;
    Log::logf(Log::Error, logCategory,
              "Stream '{}': {}() refused on the stream's own delivery thread (a listener cannot change the "
              "lifecycle of the stream that calls it)",
              name(), call);
    return true;
}

void Stream::refuseTransition(const char* call) const
{
    Log::logf(Log::Warning, logCategory, "Stream '{}': {}() is not allowed in state {}", name(), call,
              stateName(state()));
}

void Stream::startDeliveryThread()
{
    {
        std::lock_guard<std::mutex> lock(m_workMutex);
        m_stopRequested = false;
        m_wakePending = false;
    }
    m_thread = std::thread([this] { deliveryLoop(); });
}

void Stream::stopDeliveryThread()
{
    if (!m_thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(m_workMutex);
        m_stopRequested = true;
    }
    m_workCondition.notify_all();
    m_thread.join();
    m_thread = std::thread();
}

void Stream::deliveryLoop()
{
    m_deliveryThreadId.store(std::this_thread::get_id());
    const auto heldByPause = [this] { return state() == State::Paused && !worksWhilePaused(); };
    const auto wokenOrStopped = [this] { return m_stopRequested || m_wakePending; };
    // Each round's continuation is a fresh value returned here, so a doWork (or a listener inside it) that throws
    // ends delivery: an earlier round's continuation, kept in a variable outside the round, would carry it on.
    const auto workOnce = [this]() -> std::optional<WorkContinuation>
    {
        try
        {
            return doWork();
        }
        catch (const std::exception& e)
        {
            Log::logf(Log::Error, logCategory, "Stream '{}' stopped delivering: {}", name(), e.what());
        }
        catch (...)
        {
            Log::logf(Log::Error, logCategory, "Stream '{}' stopped delivering after an unknown exception", name());
        }
        return std::nullopt;
    };
    for (;;)
    {
        {
            std::unique_lock<std::mutex> lock(m_workMutex);
            m_workCondition.wait(lock, [&] { return m_stopRequested || !heldByPause(); });
            if (m_stopRequested)
                break;
            // Cleared before doWork, so that a wake-up that comes while it runs makes the next wait return at once.
            m_wakePending = false;
        }

        const std::optional<WorkContinuation> next = workOnce();
        if (!next)
            break;

        std::unique_lock<std::mutex> lock(m_workMutex);
        if (next->untilWoken)
            m_workCondition.wait(lock, wokenOrStopped);
        else if (next->wait.count() > 0)
            m_workCondition.wait_for(lock, next->wait, wokenOrStopped);
        if (m_stopRequested)
            break;
    }
    m_deliveryThreadId.store(std::thread::id());
}

} // namespace Kelvaros
