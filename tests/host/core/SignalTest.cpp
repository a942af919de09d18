#include "core/Signal.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

using namespace Kelvaros;

namespace
{
using Clock = std::chrono::steady_clock;

/// Spins (yielding) until the condition holds or five seconds pass; the tests assert on the result so that a
/// broken implementation fails instead of hanging.
template<typename Condition>
bool waitFor(Condition condition)
{
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!condition())
    {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

/// Threads that emit a signal in a loop until stopped, counting their emissions.
class Emitters
{
public:
    template<typename Signal>
    Emitters(Signal& signal, int count)
    {
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back(
              [this, &signal, i]
              {
                  while (!m_stop)
                  {
                      signal.emitSignal(i);
                      ++m_emissions;
                  }
              });
    }
    ~Emitters() { stop(); }

    void stop()
    {
        m_stop = true;
        for (auto& t : m_threads)
            if (t.joinable())
                t.join();
    }

    /// Waits until at least `count` more emissions have completed on the emitting threads.
    bool waitForEmissions(long count)
    {
        const long target = m_emissions + count;
        return waitFor([&] { return m_emissions >= target; });
    }

private:
    std::atomic<bool> m_stop{ false };
    std::atomic<long> m_emissions{ 0 };
    std::vector<std::thread> m_threads;
};

class Listener : public SignalReceiver
{
public:
    Listener(SignalImpl<int>& signal, const std::atomic<bool>& destroyed, std::atomic<int>& callsAfterDestruction)
      : m_destroyed(destroyed), m_callsAfterDestruction(callsAfterDestruction)
    {
        signal.connect(this, &Listener::onValue);
    }
    ~Listener() override { disconnectAll(); }

    void onValue(int value)
    {
        if (m_destroyed)
            ++m_callsAfterDestruction;
        // Touches members, so that a call after destruction is also a use-after-free for AddressSanitizer.
        m_values.push_back(value);
        ++m_calls;
    }

    std::atomic<int> m_calls{ 0 };

private:
    const std::atomic<bool>& m_destroyed;
    std::atomic<int>& m_callsAfterDestruction;
    std::vector<int> m_values;
};
} // namespace

TEST(SignalTest, SlotsRunInConnectionOrderWithTheArguments)
{
    SignalImpl<int, std::string> signal;
    std::vector<std::string> calls;
    signal.connect([&](int i, std::string s) { calls.push_back("a" + std::to_string(i) + s); });
    signal.connect([&](int i, std::string s) { calls.push_back("b" + std::to_string(i) + s); });
    signal.emitSignal(7, "x");
    EXPECT_EQ(calls, (std::vector<std::string>{ "a7x", "b7x" }));
    EXPECT_EQ(signal.numConnections(), 2u);
}

TEST(SignalTest, DisconnectedAndBlockedSlotsAreNotCalled)
{
    SignalImpl<> signal;
    int a = 0, b = 0;
    SignalConnection ca = signal.connect([&] { ++a; });
    signal.connect([&] { ++b; });

    signal.setBlocked(true);
    EXPECT_TRUE(signal.isBlocked());
    signal.emitSignal();
    EXPECT_EQ(a + b, 0);
    signal.setBlocked(false);
    signal.emitSignal();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 1);

    SignalImpl<>::disconnect(ca);
    EXPECT_FALSE(ca.isConnected());
    ca.disconnect(); // twice is harmless
    signal.emitSignal();
    EXPECT_EQ(a, 1);
    EXPECT_EQ(b, 2);
    EXPECT_EQ(signal.numConnections(), 1u);

    signal.disconnectAll();
    signal.emitSignal();
    EXPECT_EQ(b, 2);
    EXPECT_EQ(signal.numConnections(), 0u);
    SignalConnection().disconnect();

    // A handle outlives its signal.
    SignalConnection connection;
    {
        SignalImpl<int> shortLived;
        connection = shortLived.connect([](int) {});
    }
    connection.disconnect();
    EXPECT_FALSE(connection.isConnected());
}

TEST(SignalTest, ReceiverEndsItsConnections)
{
    SignalImpl<int> signal;
    std::atomic<bool> destroyed{ false };
    std::atomic<int> afterDestruction{ 0 };
    auto listener = std::make_unique<Listener>(signal, destroyed, afterDestruction);
    signal.emitSignal(1);
    EXPECT_EQ(listener->m_calls, 1);
    listener->disconnectAll();
    signal.emitSignal(2);
    EXPECT_EQ(listener->m_calls, 1);

    SignalConnection c = signal.connect(listener.get(), [&](int) { ++listener->m_calls; });
    signal.emitSignal(3);
    EXPECT_EQ(listener->m_calls, 2);
    listener.reset();
    EXPECT_FALSE(c.isConnected());
    signal.emitSignal(4);
    EXPECT_EQ(signal.numConnections(), 0u);
}

TEST(SignalTest, SlotMayEndItsOwnConnectionOrItsReceiversDuringItsCall)
{
    SignalImpl<> signal;
    int selfCalls = 0, receiverCalls = 0;
    auto connection = std::make_shared<SignalConnection>();
    *connection = signal.connect(
      [&]
      {
          ++selfCalls;
          connection->disconnect();
          EXPECT_FALSE(connection->isConnected());
      });
    SignalReceiver receiver;
    signal.connect(&receiver,
                   [&]
                   {
                       ++receiverCalls;
                       receiver.disconnectAll();
                   });
    signal.emitSignal();
    signal.emitSignal();
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(receiverCalls, 1);
}

TEST(SignalTest, ConnectionChangesDuringAnEmissionApplyToLaterSlotsAndEmissions)
{
    // A later slot disconnected by an earlier one is skipped in the same emission; a slot connected during an
    // emission joins from the next one (an emission calls the slots connected when it began).
    SignalImpl<int> signal;
    int later = 0;
    std::vector<int> added;
    SignalConnection laterConnection;
    signal.connect(
      [&](int)
      {
          if (laterConnection.isConnected())
          {
              laterConnection.disconnect();
              signal.connect([&](int w) { added.push_back(w); });
          }
      });
    laterConnection = signal.connect([&](int) { ++later; });
    signal.emitSignal(1);
    EXPECT_EQ(later, 0);
    EXPECT_TRUE(added.empty());
    signal.emitSignal(2);
    EXPECT_EQ(added, std::vector<int>{ 2 });
    EXPECT_EQ(signal.numConnections(), 2u);
}

TEST(SignalTest, SlotMayEmitItsOwnSignalRecursively)
{
    SignalImpl<int> signal;
    std::vector<int> depths;
    signal.connect(
      [&](int depth)
      {
          depths.push_back(depth);
          if (depth < 3)
              signal.emitSignal(depth + 1);
      });
    signal.emitSignal(0);
    EXPECT_EQ(depths, (std::vector<int>{ 0, 1, 2, 3 }));
}

TEST(SignalTest, DisconnectWaitsForARunningCallOnAnotherThread)
{
    SignalImpl<> signal;
    std::atomic<bool> entered{ false };
    std::atomic<bool> finished{ false };
    SignalConnection connection = signal.connect(
      [&]
      {
          entered = true;
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          finished = true;
      });
    std::thread emitter([&] { signal.emitSignal(); });
    ASSERT_TRUE(waitFor([&] { return entered.load(); }));
    connection.disconnect();
    EXPECT_TRUE(finished) << "disconnect returned while the slot was still running";
    emitter.join();
}

TEST(SignalTest, NoCallAfterDisconnectReturnsWhileSeveralThreadsEmit)
{
    for (int round = 0; round < 30; ++round)
    {
        SignalImpl<int> signal;
        std::atomic<bool> disconnected{ false };
        std::atomic<int> calls{ 0 };
        std::atomic<int> callsAfterDisconnect{ 0 };
        SignalConnection connection = signal.connect(
          [&](int)
          {
              if (disconnected)
                  ++callsAfterDisconnect;
              ++calls;
              std::this_thread::yield();
              // Still inside the call: the disconnecting thread must not have got past disconnect() yet.
              if (disconnected)
                  ++callsAfterDisconnect;
          });
        Emitters emitters(signal, 3);
        ASSERT_TRUE(waitFor([&] { return calls > 20; }));
        connection.disconnect();
        disconnected = true;
        ASSERT_TRUE(emitters.waitForEmissions(300));
        emitters.stop();
        EXPECT_EQ(callsAfterDisconnect, 0) << "round " << round;
    }
}

TEST(SignalTest, SelfDisconnectWhileSeveralThreadsEmitRunsTheSlotOnce)
{
    for (int round = 0; round < 30; ++round)
    {
        SignalImpl<int> signal;
        std::atomic<int> calls{ 0 };
        auto connection = std::make_shared<SignalConnection>();
        std::atomic<bool> armed{ false };
        *connection = signal.connect(
          [&](int)
          {
              if (!armed)
                  return;
              ++calls;
              connection->disconnect();
          });
        Emitters emitters(signal, 3);
        ASSERT_TRUE(emitters.waitForEmissions(50));
        armed = true;
        ASSERT_TRUE(waitFor([&] { return !connection->isConnected(); }));
        ASSERT_TRUE(emitters.waitForEmissions(200));
        emitters.stop();
        EXPECT_EQ(calls, 1) << "round " << round;
    }
}

TEST(SignalTest, ReceiverDestroyedWhileAnotherThreadEmits)
{
    SignalImpl<int> signal;
    Emitters emitters(signal, 2);
    for (int round = 0; round < 30; ++round)
    {
        std::atomic<bool> destroyed{ false };
        std::atomic<int> afterDestruction{ 0 };
        auto listener = std::make_unique<Listener>(signal, destroyed, afterDestruction);
        ASSERT_TRUE(waitFor([&] { return listener->m_calls > 10; }));
        listener.reset();
        destroyed = true;
        ASSERT_TRUE(emitters.waitForEmissions(200));
        EXPECT_EQ(afterDestruction, 0) << "round " << round;
    }
    emitters.stop();
    EXPECT_EQ(signal.numConnections(), 0u);
}

TEST(SignalTest, ConnectAndBlockWhileOtherThreadsEmit)
{
    SignalImpl<int> signal;
    std::atomic<long> calls{ 0 };
    Emitters emitters(signal, 2);
    std::vector<SignalConnection> connections;
    for (int i = 0; i < 200; ++i)
    {
        connections.push_back(signal.connect([&](int) { ++calls; }));
        signal.setBlocked(i % 3 == 0);
        if (i % 2 == 0)
            connections[size_t(i / 2)].disconnect();
    }
    signal.setBlocked(false);
    ASSERT_TRUE(emitters.waitForEmissions(100));
    emitters.stop();
    EXPECT_EQ(signal.numConnections(), 100u);
    EXPECT_GT(calls, 0);
}
