#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/Configurable.h"
#include "core/Export.h"
#include "core/Signal.h"
#include "lib/Data.h"
#include "stream/StreamData.h"
#include "stream/TrackingInstrument.h"

namespace Kelvaros
{

class AlgorithmController;

/// A live source of samples: a tracker, a network client, a playback, or a stream derived from other streams.
/// Data::matrix() is the stream's registration: tracker (stream) space → world space.
///
/// States and transitions (each lifecycle call returns false and leaves the state unchanged when the move is
/// not allowed from the current state or its ...Impl hook fails; a call whose target already holds succeeds
/// without calling the hook):
///
///     Closed --open--> Opened --start--> Running --pause--> Paused
///     Paused --resume--> Running;  Running/Paused --stop--> Opened;  any --close--> Closed
///
/// - open: Closed → Opened (openImpl). From Opened, Running or Paused: true, nothing done. From Disconnected:
///   false (close it first).
/// - start: Opened → Running (startImpl, then the delivery thread of a source). From Running: true. From
///   Closed, Paused (use resume) or Disconnected: false.
/// - pause: Running → Paused (pauseImpl); false unless supportsPausing(). From Paused: true.
/// - resume: Paused → Running (resumeImpl). From Running: true.
/// - stop: Running, Paused, or Disconnected after a start → Opened (the delivery thread is joined first, then
///   stopImpl). When nothing runs (Closed, Opened, Disconnected before a start): true, nothing done.
/// - close: any other state → Closed (stop as above when running, then closeImpl). From Closed: true.
/// - Disconnected is set by a source itself (changeState) when it lost its device; its delivery thread keeps
///   running so that it can reconnect and move itself back to Running. stop and close leave it.
///
/// Threads: the lifecycle calls (open ... close) are serialised by a lifecycle mutex and may come from any
/// thread except the stream's own delivery thread (a listener must not stop or close the stream it listens to:
/// such a call is refused with an error in the log, because it would join the very thread it runs on).
/// state(), isStateOneOf(), mainInstrumentId() and the instrument lists may be read from any thread.
///
/// Delivery: a source (threadingMode() == OwnThread) gets one delivery thread from this base, started by start()
/// and joined by stop(); it calls doWork() in a loop and doWork emits samples with emitStreamData(). A derived
/// stream (InputThread) has no thread: it emits synchronously from its input's listener, on the input's thread.
///
/// Destruction: the base destructor cannot call the ...Impl hooks (the derived part is gone by then), so every
/// concrete stream calls closeOnDestruction() first thing in its destructor; that joins the delivery thread
/// before the derived members die.
class KELVAROS_API Stream
  : public Data
  , public Configurable
{
public:
    /// Lifecycle states. The numbers are stable (they appear in logs and tests).
    enum class State : int
    {
        Closed = 0,       ///< No device resources held.
        Disconnected = 1, ///< The source lost its device (cable, network, power); set by the source.
        Opened = 2,       ///< Device connected and configured, not delivering.
        Running = 3,      ///< Delivering samples.
        Paused = 4        ///< Started, delivery held (only streams that supportsPausing()).
    };

    enum class ThreadingMode : int
    {
        OwnThread = 0,  ///< A source: this base runs doWork() on one delivery thread between start and stop.
        InputThread = 1 ///< Driven by other streams: emits on its input's thread, has no thread of its own.
    };

    /// What the delivery thread does after a doWork() call that returned a value.
    struct WorkContinuation
    {
        /// Wait this long before the next doWork() (0: call again at once). The wait ends early when the stream
        /// is stopped or wakeDeliveryThread() is called.
        std::chrono::microseconds wait{ 0 };
        /// Wait until wakeDeliveryThread() or stop, however long that takes (wait is then ignored).
        bool untilWoken = false;

        static WorkContinuation immediately() { return {}; }
        static WorkContinuation after(std::chrono::microseconds delay) { return { delay, false }; }
        static WorkContinuation whenWoken() { return { std::chrono::microseconds(0), true }; }
    };

    /// A stream named for display (Data::name).
    explicit Stream(std::string name);
    ~Stream() override;

    [[nodiscard]] Kind kind() const override { return Kind::Stream; }

    /// One line describing the stream for logs and tool tips: its name and state, more in derived streams.
    [[nodiscard]] virtual std::string describe() const;
    /// OwnThread (default) for sources; derived streams return InputThread.
    [[nodiscard]] virtual ThreadingMode threadingMode() const;
    /// Whether open and start may be called off the user-interface thread while the user keeps working
    /// (their hooks may block, for example while connecting). Default false.
    [[nodiscard]] virtual bool supportsAsyncOperation() const;
    /// Whether pause/resume are possible. Default false.
    [[nodiscard]] virtual bool supportsPausing() const;
    /// Drops buffered or accumulated data (queues, filter state); the state does not change. Default: nothing.
    virtual void reset();
    /// True in state Running. Any thread.
    [[nodiscard]] virtual bool isRunning() const;
    /// A unique id fixed at construction (a UUID without braces). Any thread.
    [[nodiscard]] virtual std::string uuid() const;
    /// The panel of the stream itself, for a workbench showing the stream it selected; not yet initialised (the
    /// caller sets display and application and calls init()), and it must not outlive the stream. The default asks
    /// the factory that the user-interface library installs when it is loaded (a panel with the stream's state,
    /// rate and parameters); null without one, as in the command-line tool. User-interface thread.
    [[nodiscard]] virtual std::unique_ptr<AlgorithmController> createDefaultStreamController();

    /// Makes the default stream panels; this library has no widgets, the user-interface library installs it.
    using DefaultControllerFactory = std::function<std::unique_ptr<AlgorithmController>(Stream&)>;
    /// Replaces the factory (an empty one removes it). Any thread.
    static void setDefaultControllerFactory(DefaultControllerFactory factory);

protected:
    /// Hooks of the lifecycle calls, run under the lifecycle mutex on the calling thread; return false on
    /// failure (after logging the cause). The defaults succeed and do nothing.
    virtual bool openImpl();
    virtual bool closeImpl();
    virtual bool startImpl();
    virtual bool stopImpl();
    virtual bool pauseImpl();
    virtual bool resumeImpl();

public:
    /// Whether the delivery thread needs an OpenGL context (streams that render); default false.
    [[nodiscard]] virtual bool workerThreadRequiresOpenGl() const;

protected:
    /// One unit of work of a source, on its delivery thread: wait for or read the device, then emit. Return how
    /// to continue, or an empty optional when the stream has no (more) work: the delivery thread then ends
    /// while the state stays as it is. Must not block indefinitely: block for at most about one sample period,
    /// or return whenWoken() and have the producer call wakeDeliveryThread(). Default: empty (no work loop).
    virtual std::optional<WorkContinuation> doWork();
    /// Whether doWork() keeps being called while Paused. Default false: the delivery thread holds until resume.
    [[nodiscard]] virtual bool worksWhilePaused() const;

public:
    /// The instruments as the device itself reports them (for example every tool it knows, seen or not).
    /// Default: instruments(). Any thread.
    [[nodiscard]] virtual std::vector<TrackingInstrument> devices() const;
    /// The instruments this stream delivers, each with its last known record. Default: empty. Any thread.
    [[nodiscard]] virtual std::vector<TrackingInstrument> instruments() const;
    /// The instruments tracked in the last sample. Default: empty. Any thread.
    [[nodiscard]] virtual std::vector<TrackingInstrument> activeInstruments() const;
    /// instruments().size() by default. Any thread.
    [[nodiscard]] virtual size_t numInstruments() const;
    /// Whether setMainInstrumentId is allowed. Default true.
    [[nodiscard]] virtual bool supportsMainInstrumentSelection() const;
    /// Whether the stream can rename its instruments. Default false.
    [[nodiscard]] virtual bool supportsInstrumentRenaming() const;

    /// Lifecycle calls; see the class comment for the transitions. Any thread but the delivery thread.
    bool open();
    bool start();
    bool stop();
    bool close();
    bool pause();
    bool resume();

    /// The current state. Any thread.
    [[nodiscard]] State state() const { return m_state.load(); }
    /// True when the current state is one of the given ones. Any thread.
    [[nodiscard]] bool isStateOneOf(std::initializer_list<State> states) const;
    /// Sets the state and, when it differs from the old one, emits signalStateChanged(old, new) on the calling
    /// thread after the change. Meant for the stream itself: the lifecycle calls, a source that lost or regained
    /// its device, a derived stream that mirrors its input's state. It moves no thread and calls no hook.
    /// Any thread; concurrent calls may emit their notifications in either order.
    void changeState(State newState);
    /// "Closed", "Disconnected", "Opened", "Running", "Paused".
    [[nodiscard]] static const char* stateName(State state);

    /// Id (TrackerID::ID) of the instrument the user works with by default; empty until the user or the source
    /// chooses one (from the user-interface thread or while opening, not from the delivery thread, so that
    /// listeners of signalMainInstrumentIdChanged run on the user-interface thread). Any thread.
    [[nodiscard]] std::string mainInstrumentId() const;
    /// Sets the main instrument and emits signalMainInstrumentIdChanged(new id) on the calling thread when it
    /// changed. False (with a warning) when the stream does not support the selection. Any thread.
    bool setMainInstrumentId(const std::string& id);

    /// Every published sample, on the thread that emits it (the delivery thread of a source, the input's thread
    /// of a derived stream). Listeners copy what they need under their own lock and return quickly.
    SignalImpl<std::shared_ptr<const StreamData>> signalStreamData;
    /// (old state, new state) after every change of state, on the thread that changed it.
    SignalImpl<State, State> signalStateChanged;
    /// The new main instrument id, on the thread that changed it.
    SignalImpl<std::string> signalMainInstrumentIdChanged;
    /// Something about the stream other than its state and samples changed: its instrument list, an
    /// instrument's name, its devices. No arguments; on the thread that noticed the change (often the delivery
    /// thread). Derived streams forward their input's.
    SignalImpl<> signalInstrumentsChanged;

protected:
    /// Publishes one sample: noteEmitted, then signalStreamData, synchronously on the calling thread. Null is
    /// ignored. The stream does not check its state here; a source's doWork only runs while it is started.
    void emitStreamData(std::shared_ptr<const StreamData> data);
    /// Called by emitStreamData before the listeners run; TrackingStream keeps its instrument list here.
    virtual void noteEmitted(const StreamData& data);

    /// Wakes the delivery thread from a whenWoken() or after() wait (for example when a producer queued a
    /// sample). A wake-up that arrives while doWork runs is not lost. Any thread.
    void wakeDeliveryThread();
    /// True on the stream's own delivery thread.
    [[nodiscard]] bool isDeliveryThread() const;

    /// Closes the stream from a concrete stream's destructor, while its hooks and members still exist:
    /// joins the delivery thread, runs stopImpl/closeImpl as close() does, and ends in Closed even when a hook
    /// fails (a warning then names the stream). Call it first thing in every concrete stream's destructor.
    void closeOnDestruction();

private:
    bool stopLocked();
    void startDeliveryThread();
    void stopDeliveryThread();
    void deliveryLoop();
    [[nodiscard]] bool refuseOnDeliveryThread(const char* call) const;
    void refuseTransition(const char* call) const;

    std::atomic<State> m_state{ State::Closed };
    const std::string m_uuid;

    mutable std::mutex m_mainInstrumentMutex;
    std::string m_mainInstrumentId;

    // Serialises the lifecycle calls and guards m_thread and m_started. Recursive because it is re-entered: the
    // destructor holds it while it calls close(), and signalStateChanged is emitted under it, so a state listener
    // may stop or close the stream from inside a transition (start() checks for that).
    std::recursive_mutex m_lifecycleMutex;
    bool m_started = false; // between a successful start and the next stop or close
    std::thread m_thread;
    std::atomic<std::thread::id> m_deliveryThreadId{};

    // Guards the wait of the delivery loop: stop request, pending wake-up.
    std::mutex m_workMutex;
    std::condition_variable m_workCondition;
    bool m_stopRequested = false;
    bool m_wakePending = false;
};

} // namespace Kelvaros
