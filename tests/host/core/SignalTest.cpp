#include "core/Signal.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "WaitUntil.h"

using namespace Kelvaros;
using Kelvaros::Testing::waitUntil;

namespace
{
/// Threads that emit a signal in a loop while this object lives, counting their emissions.
class Emitters
{
public:
    Emitters(SignalImpl<int>& signal, int count)
    {
        for (int i = 0; i < count; ++i)
            m_threads.emplace_back(
              [this, &signal, i]
              {
                  for (; !m_stop; ++m_emissions)
                      signal.emitSignal(i);
              });
    }
    ~Emitters()
    {
        m_stop = true;
        for (auto& t : m_threads)
            t.join();
    }

    /// Waits until at least `count` more emissions have completed on the emitting threads.
    bool waitForEmissions(long count)
    {
        const long target = m_emissions + count;
        return waitUntil([&] { return m_emissions >= target; });
    }

private:
    std::atomic<bool> m_stop{ false };
    std::atomic<long> m_emissions{ 0 };
    std::vector<std::thread> m_threads;
};

struct Counter : SignalReceiver
{
    void onValue(int) { ++calls; }
    int calls = 0;
};
} // namespace

TEST(SignalTest, SlotsRunInOrderUnlessBlockedOrDisconnected)
{
    SignalImpl<int, std::string> signal;
    std::vector<std::string> calls;
    SignalConnection a = signal.connect([&](int i, std::string s) { calls.push_back("a" + std::to_string(i) + s); });
    signal.connect([&](int i, std::string s) { calls.push_back("b" + std::to_string(i) + s); });
    signal.emitSignal(7, "x");
    signal.setBlocked(true);
    signal.emitSignal(8, "x");
    signal.setBlocked(false);
    SignalImpl<int, std::string>::disconnect(a);
    a.disconnect(); // twice is harmless
    signal.emitSignal(9, "x");
    EXPECT_EQ(calls, (std::vector<std::string>{ "a7x", "b7x", "b9x" }));
    signal.disconnectAll();
    signal.emitSignal(10, "x");
    EXPECT_EQ(calls.size(), 3u);
    EXPECT_EQ(signal.numConnections(), 0u);

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
    auto counter = std::make_unique<Counter>();
    signal.connect(counter.get(), &Counter::onValue);
    SignalConnection c = signal.connect(counter.get(), [&](int) { ++counter->calls; });
    signal.emitSignal(1);
    EXPECT_EQ(counter->calls, 2);
    counter.reset();
    EXPECT_FALSE(c.isConnected());
    EXPECT_EQ(signal.numConnections(), 0u);
}

TEST(SignalTest, SlotMayChangeConnectionsDuringItsCall)
{
    // A slot may end its own connection or its receiver's; a later slot disconnected by an earlier one is skipped
    // in the same emission; a slot connected during an emission joins from the next one; a slot may emit
    // recursively.
    SignalImpl<int> signal;
    int selfCalls = 0, receiverCalls = 0, later = 0;
    std::vector<int> added, depths;
    auto self = std::make_shared<SignalConnection>();
    *self = signal.connect(
      [&](int)
      {
          ++selfCalls;
          self->disconnect();
      });
    SignalReceiver receiver;
    signal.connect(&receiver,
                   [&](int)
                   {
                       ++receiverCalls;
                       receiver.disconnectAll();
                   });
    SignalConnection laterConnection;
    signal.connect(
      [&](int depth)
      {
          depths.push_back(depth);
          if (laterConnection.isConnected())
          {
              laterConnection.disconnect();
              signal.connect([&](int w) { added.push_back(w); });
          }
          else if (depth < 3)
              signal.emitSignal(depth + 1);
      });
    laterConnection = signal.connect([&](int) { ++later; });
    signal.emitSignal(0);
    EXPECT_EQ(later, 0);
    EXPECT_TRUE(added.empty());
    signal.emitSignal(1);
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(receiverCalls, 1);
    EXPECT_EQ(depths, (std::vector<int>{ 0, 1, 2, 3 }));
    EXPECT_EQ(added, (std::vector<int>{ 3, 2, 1 })) << "nested emissions finish innermost first";
}

// Whichever way a connection ends while other threads emit (its handle, or its receiver's destruction), no call
// starts or runs on once that has returned.
TEST(SignalTest, NoCallAfterDisconnectReturnsWhileSeveralThreadsEmit)
{
    SignalImpl<int> signal;
    Emitters emitters(signal, 3);
    for (int round = 0; round < 40; ++round)
    {
        std::atomic<bool> ended{ false };
        std::atomic<int> calls{ 0 };
        std::atomic<int> callsAfterEnd{ 0 };
        auto receiver = std::make_unique<SignalReceiver>();
        const auto slot = [&](int)
        {
            callsAfterEnd += ended;
            ++calls;
            std::this_thread::yield();
            // Still inside the call: the disconnecting thread must not have got past its call yet.
            callsAfterEnd += ended;
        };
        SignalConnection connection = round % 2 ? signal.connect(slot) : signal.connect(receiver.get(), slot);
        ASSERT_TRUE(waitUntil([&] { return calls > 20; }));
        if (round % 2)
            connection.disconnect();
        else
            receiver.reset();
        ended = true;
        ASSERT_TRUE(emitters.waitForEmissions(300));
        EXPECT_EQ(callsAfterEnd, 0) << "round " << round;
    }
}

TEST(SignalTest, SelfDisconnectWhileSeveralThreadsEmitRunsTheSlotOnce)
{
    SignalImpl<int> signal;
    Emitters emitters(signal, 3);
    for (int round = 0; round < 30; ++round)
    {
        std::atomic<int> calls{ 0 };
        std::atomic<bool> armed{ false };
        auto connection = std::make_shared<SignalConnection>();
        *connection = signal.connect(
          [&](int)
          {
              if (!armed)
                  return;
              ++calls;
              connection->disconnect();
          });
        ASSERT_TRUE(emitters.waitForEmissions(50));
        armed = true;
        ASSERT_TRUE(waitUntil([&] { return !connection->isConnected(); }));
        ASSERT_TRUE(emitters.waitForEmissions(200));
        EXPECT_EQ(calls, 1) << "round " << round;
    }
}
