#include "core/Signal.h"

namespace Kelvaros
{

Detail::SlotState::~SlotState() = default;

void Detail::SlotState::disconnect()
{
    std::lock_guard<std::recursive_mutex> lock(m_callMutex);
    m_connected = false;
}

bool Detail::SlotState::isConnected() const
{
    return m_connected;
}

SignalConnection::SignalConnection(std::shared_ptr<Detail::SlotState> state)
  : m_state(std::move(state))
{
}

void SignalConnection::disconnect()
{
    if (m_state)
        m_state->disconnect();
}

bool SignalConnection::isConnected() const
{
    return m_state && m_state->isConnected();
}

SignalReceiver::~SignalReceiver()
{
    disconnectAll();
}

void SignalReceiver::addConnection(SignalConnection connection)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_connections.erase(std::remove_if(m_connections.begin(), m_connections.end(),
                                       [](const SignalConnection& c) { return !c.isConnected(); }),
                        m_connections.end());
    m_connections.push_back(std::move(connection));
}

void SignalReceiver::disconnectAll()
{
    std::vector<SignalConnection> connections;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        connections.swap(m_connections);
    }
    for (auto& connection : connections)
        connection.disconnect();
}

} // namespace Kelvaros
