#include "lib/DataComponentList.h"

#include <atomic>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace Kelvaros
{
namespace
{
struct Calibration : DataComponentBase<Calibration>
{
    double offset = 0.0;
    [[nodiscard]] std::string id() const override { return "calibration"; }
};

/// Derives from a component type: it must not be found as its base.
struct ToolCalibration : Calibration
{
    std::string tool;
    [[nodiscard]] std::string id() const override { return "toolCalibration"; }
    [[nodiscard]] std::unique_ptr<DataComponent> cloneDerived() const override
    {
        return std::make_unique<ToolCalibration>(*this);
    }
    bool assign(const DataComponent& other) override
    {
        if (typeid(other) != typeid(ToolCalibration))
            return false;
        *this = static_cast<const ToolCalibration&>(other);
        return true;
    }
};

struct Options : DataComponentBase<Options>
{
    bool visible = true;
    [[nodiscard]] std::string id() const override { return "options"; }
};

template<int N>
struct Numbered : DataComponentBase<Numbered<N>>
{
    int value = N;
    [[nodiscard]] std::string id() const override { return "numbered"; }
};

TEST(DataComponentList, FindsExactTypeOnly)
{
    DataComponentList list;
    auto tool = std::make_unique<ToolCalibration>();
    tool->tool = "pointer";
    list.add(std::move(tool));
    EXPECT_EQ(list.get<Calibration>(), nullptr);
    ASSERT_NE(list.get<ToolCalibration>(), nullptr);
    EXPECT_EQ(list.get<ToolCalibration>()->tool, "pointer");

    list.getOrAdd<Calibration>().offset = 2.0;
    EXPECT_EQ(list.size(), 2u);
    EXPECT_DOUBLE_EQ(list.get<Calibration>()->offset, 2.0);
    EXPECT_EQ(list.get<ToolCalibration>()->offset, 0.0);
}

TEST(DataComponentList, AddingTheSameTypeKeepsTheAddress)
{
    DataComponentList list;
    Calibration* stored = &list.getOrAdd<Calibration>();
    auto replacement = std::make_unique<Calibration>();
    replacement->offset = 5.0;
    EXPECT_EQ(list.add(std::move(replacement)), stored);
    EXPECT_DOUBLE_EQ(stored->offset, 5.0);
    EXPECT_EQ(list.size(), 1u);
    EXPECT_EQ(&list.getOrAdd<Calibration>(), stored);
    EXPECT_EQ(list.add(nullptr), nullptr);
}

TEST(DataComponentList, RemoveHandsTheComponentBack)
{
    DataComponentList list;
    list.getOrAdd<Options>();
    list.getOrAdd<Calibration>().offset = 1.0;
    EXPECT_EQ(list.remove(typeid(ToolCalibration)), nullptr);
    std::unique_ptr<DataComponent> removed = list.remove(typeid(Calibration));
    ASSERT_NE(removed, nullptr);
    EXPECT_DOUBLE_EQ(static_cast<Calibration&>(*removed).offset, 1.0);
    EXPECT_EQ(list.get<Calibration>(), nullptr);
    ASSERT_EQ(list.all().size(), 1u);
    EXPECT_EQ(list.all()[0]->id(), "options");
}

TEST(DataComponentList, CopiesAreDeepAndKeepTypes)
{
    DataComponentList list;
    auto tool = std::make_unique<ToolCalibration>();
    tool->tool = "needle";
    list.add(std::move(tool));
    list.getOrAdd<Options>().visible = false;

    DataComponentList copy(list);
    ASSERT_EQ(copy.size(), 2u);
    ASSERT_NE(copy.get<ToolCalibration>(), nullptr);
    EXPECT_NE(copy.get<ToolCalibration>(), list.get<ToolCalibration>());
    EXPECT_EQ(copy.get<ToolCalibration>()->tool, "needle");
    copy.get<ToolCalibration>()->tool = "pointer";
    EXPECT_EQ(list.get<ToolCalibration>()->tool, "needle");
    EXPECT_EQ(copy.all()[0]->id(), "toolCalibration");

    // Assignment keeps the components of shared types in place and drops the others.
    DataComponentList target;
    Options* options = &target.getOrAdd<Options>();
    target.getOrAdd<Calibration>();
    target = list;
    EXPECT_EQ(target.get<Options>(), options);
    EXPECT_FALSE(options->visible);
    EXPECT_EQ(target.get<Calibration>(), nullptr);
    EXPECT_EQ(target.get<ToolCalibration>()->tool, "needle");
    target = target;
    EXPECT_EQ(target.size(), 2u);
}

TEST(DataComponentList, AssignRefusesAnotherType)
{
    Calibration calibration;
    calibration.offset = 3.0;
    ToolCalibration tool;
    tool.offset = 9.0;
    EXPECT_FALSE(calibration.assign(tool));
    EXPECT_DOUBLE_EQ(calibration.offset, 3.0);
    Calibration other;
    other.offset = 4.0;
    EXPECT_TRUE(calibration.assign(other));
    EXPECT_DOUBLE_EQ(calibration.offset, 4.0);
}

// A stream thread looks components up while the main thread adds them: every lookup sees either nothing or the
// final component, at one address, with its content complete.
TEST(DataComponentList, ConcurrentLookupWhileAdding)
{
    DataComponentList list;
    std::atomic<bool> done{ false };
    std::vector<const void*> seen(4, nullptr);
    std::atomic<int> mismatches{ 0 };

    std::thread reader(
      [&]
      {
          auto check = [&](int slot, const auto* component, int expected)
          {
              if (!component)
                  return;
              if (component->value != expected)
                  ++mismatches;
              if (!seen[size_t(slot)])
                  seen[size_t(slot)] = component;
              else if (seen[size_t(slot)] != component)
                  ++mismatches;
          };
          while (!done.load())
          {
              check(0, list.get<Numbered<0>>(), 0);
              check(1, list.get<Numbered<1>>(), 1);
              check(2, list.get<Numbered<2>>(), 2);
              check(3, list.get<Numbered<3>>(), 3);
              (void)list.all();
          }
      });

    // Transient components make the list grow and shrink (reallocating its storage) around the lasting ones.
    auto churn = [&list]
    {
        list.add(std::make_unique<Options>());
        list.add(std::make_unique<Calibration>());
        list.add(std::make_unique<ToolCalibration>());
        (void)list.remove(typeid(Calibration));
        (void)list.remove(typeid(Options));
        (void)list.remove(typeid(ToolCalibration));
    };
    for (int round = 0; round < 50; ++round)
    {
        churn();
        switch (round)
        {
            case 0:
                list.add(std::make_unique<Numbered<0>>());
                break;
            case 20:
                list.getOrAdd<Numbered<1>>();
                break;
            case 30:
                list.add(std::make_unique<Numbered<2>>());
                break;
            case 40:
                list.getOrAdd<Numbered<3>>();
                break;
            default:
                (void)list.getOrAdd<Options>();
                break;
        }
        std::this_thread::yield();
    }
    done = true;
    reader.join();
    EXPECT_EQ(mismatches.load(), 0);
    if (seen[0])
    {
        EXPECT_EQ(list.get<Numbered<0>>(), seen[0]);
    }
    EXPECT_NE(list.get<Numbered<3>>(), nullptr);
}

} // namespace
} // namespace Kelvaros
