#include "lib/DataComponentList.h"

#include <atomic>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{
template<int N>
struct Numbered : DataComponentBase<Numbered<N>>
{
    int value = N;
    [[nodiscard]] std::string id() const override { return "numbered"; }
};

// A stream thread looks components up while the main thread adds and removes others: every lookup sees either
// nothing or the lasting component, at one address, with its content complete.
TEST(DataComponentList, ConcurrentLookupWhileAdding)
{
    DataComponentList list;
    std::atomic<bool> done{ false };
    std::atomic<int> mismatches{ 0 };
    std::thread reader(
      [&]
      {
          const void* seen = nullptr;
          while (!done.load())
          {
              const auto* component = list.get<Numbered<7>>();
              (void)list.all();
              if (!component)
                  continue;
              if (component->value != 7 || (seen && seen != component))
                  ++mismatches;
              seen = component;
          }
      });
    // Transient components make the list grow and shrink (reallocating its storage) around the lasting one.
    for (int round = 0; round < 50; ++round)
    {
        list.add(std::make_unique<Numbered<1>>());
        list.add(std::make_unique<Numbered<2>>());
        list.add(std::make_unique<Numbered<3>>());
        if (round == 10)
            list.getOrAdd<Numbered<7>>();
        (void)list.remove(typeid(Numbered<1>));
        (void)list.remove(typeid(Numbered<2>));
        (void)list.remove(typeid(Numbered<3>));
        std::this_thread::yield();
    }
    done = true;
    reader.join();
    EXPECT_EQ(mismatches.load(), 0);
    EXPECT_NE(list.get<Numbered<7>>(), nullptr);
}

} // namespace
} // namespace Kelvaros
