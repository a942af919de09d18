#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "core/Export.h"

namespace Kelvaros
{

namespace Detail
{
/// Shared state of one connection. The call mutex is held while the slot runs, so that a disconnect from
/// another thread waits for a running call to end, and after it returns the slot is never entered again.
/// It is recursive so that a slot may disconnect itself (or its receiver) from inside its own call.
class KELVAROS_API SlotState
{
public:
    virtual ~SlotState();

    /// Returns once no call of this slot runs on another thread; afterwards the slot is never called again.
    void disconnect();
    [[nodiscard]] bool isConnected() const;

protected:
    mutable std::recursive_mutex m_callMutex;
    // Read without the call mutex so that pruning never waits for a running slot.
    std::atomic<bool> m_connected{ true };
};

template<typename... Args>
class Slot final : public SlotState
{
public:
    explicit Slot(std::function<void(Args...)> function) : m_function(std::move(function)) {}

    /// Calls the slot if it is still connected.
    void invoke(const Args&... args)
    {
        std::lock_guard<std::recursive_mutex> lock(m_callMutex);
        if (m_connected)
            m_function(args...);
    }

private:
    std::function<void(Args...)> m_function;
};
} // namespace Detail

/// Handle of one connection between a signal and a slot. Copies share the connection; letting a handle go out
/// of scope does not disconnect (hand it to a SignalReceiver for that).
class KELVAROS_API SignalConnection
{
public:
    SignalConnection() = default;
    explicit SignalConnection(std::shared_ptr<Detail::SlotState> state);

    /// Thread-safe. Once this returns, the slot is never called again, even by an emission running on another
    /// thread; called from inside the slot itself, it returns at once and the running call finishes.
    /// Do not call it while holding a lock that the slot itself takes: it waits for a running call to end.
    void disconnect();
    [[nodiscard]] bool isConnected() const;

private:
    std::shared_ptr<Detail::SlotState> m_state;
};

/// Base of every object that listens to signals: it owns its connections and ends them in disconnectAll and on
/// destruction. A derived class whose slots use its own members calls disconnectAll() first thing in its own
/// destructor, because by the time this base's destructor runs those members are gone.
class KELVAROS_API SignalReceiver
{
public:
    SignalReceiver() = default;
    SignalReceiver(const SignalReceiver&) = delete;
    SignalReceiver& operator=(const SignalReceiver&) = delete;
    virtual ~SignalReceiver();

    /// Thread-safe.
    void addConnection(SignalConnection connection);
    /// Thread-safe; see SignalConnection::disconnect for the guarantee and the lock rule.
    void disconnectAll();

private:
    std::mutex m_mutex;
    std::vector<SignalConnection> m_connections;
};

/// A thread-safe signal. emitSignal may run on any thread and calls the connected slots on that thread, in the
/// order they were connected; connect and disconnect may run concurrently with it.
template<typename... Args>
class SignalImpl
{
public:
    SignalImpl() = default;
    SignalImpl(const SignalImpl&) = delete;
    SignalImpl& operator=(const SignalImpl&) = delete;

    /// Connects a callable; the returned handle disconnects it.
    SignalConnection connect(std::function<void(Args...)> function)
    {
        auto slot = std::make_shared<Detail::Slot<Args...>>(std::move(function));
        std::lock_guard<std::mutex> lock(m_mutex);
        pruneLocked();
        m_slots.push_back(slot);
        return SignalConnection(slot);
    }

    /// Connects a callable owned by a receiver: the connection ends when the receiver disconnects all or dies.
    SignalConnection connect(SignalReceiver* receiver, std::function<void(Args...)> function)
    {
        SignalConnection connection = connect(std::move(function));
        receiver->addConnection(connection);
        return connection;
    }

    /// Connects a member function of a receiver.
    template<typename Receiver, typename... MethodArgs>
    SignalConnection connect(Receiver* receiver, void (Receiver::*method)(MethodArgs...))
    {
        return connect(static_cast<SignalReceiver*>(receiver),
                       [receiver, method](const Args&... args) { (receiver->*method)(args...); });
    }

    static void disconnect(SignalConnection& connection) { connection.disconnect(); }

    /// Ends every connection of this signal.
    void disconnectAll()
    {
        // Not named "slots": Qt defines that as a macro in every file that includes its headers first.
        std::vector<std::shared_ptr<Detail::Slot<Args...>>> ending;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            ending.swap(m_slots);
        }
        for (auto& slot : ending)
            slot->disconnect();
    }

    /// Calls every connected slot on the calling thread. Does nothing while blocked.
    void emitSignal(const Args&... args)
    {
        std::vector<std::shared_ptr<Detail::Slot<Args...>>> calling;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_blocked)
                return;
            calling = m_slots;
        }
        for (auto& slot : calling)
            slot->invoke(args...);
    }

    void setBlocked(bool blocked)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_blocked = blocked;
    }

    [[nodiscard]] bool isBlocked() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_blocked;
    }

    [[nodiscard]] size_t numConnections() const
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return size_t(std::count_if(m_slots.begin(), m_slots.end(), [](const auto& s) { return s->isConnected(); }));
    }

private:
    void pruneLocked()
    {
        m_slots.erase(std::remove_if(m_slots.begin(), m_slots.end(), [](const auto& s) { return !s->isConnected(); }),
                      m_slots.end());
    }

    mutable std::mutex m_mutex;
    std::vector<std::shared_ptr<Detail::Slot<Args...>>> m_slots;
    bool m_blocked = false;
};

} // namespace Kelvaros
