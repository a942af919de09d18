#include "stream/InstrumentCalibrationDataComponent.h"

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "StreamTestSupport.h"

using namespace Kelvaros;
using namespace Kelvaros::Testing;
using Calibration = InstrumentCalibrationDataComponent::Calibration;

TEST(InstrumentCalibrationDataComponent, StoresReplacesAndRemovesPerInstrument)
{
    InstrumentCalibrationDataComponent component;
    EXPECT_FALSE(component.calibration("pointer").has_value());

    Eigen::Matrix4d tip = Eigen::Matrix4d::Identity();
    tip.block<3, 1>(0, 3) = Eigen::Vector3d(0, 0, 150);
    component.setCalibration("pointer", tip, 0.3);
    component.setCalibration("needle", Calibration{ Eigen::Matrix4d::Identity() * 2, 1.5 });
    auto pointer = component.calibration("pointer");
    ASSERT_TRUE(pointer);
    EXPECT_TRUE(pointer->matrix.isApprox(tip));
    EXPECT_DOUBLE_EQ(pointer->value, 0.3);

    component.setCalibration("pointer", Eigen::Matrix4d::Identity(), 0.0);
    EXPECT_TRUE(component.calibration("pointer")->matrix.isIdentity());
    EXPECT_EQ(component.instrumentIds(), (std::vector<std::string>{ "needle", "pointer" }));

    EXPECT_TRUE(component.removeCalibration("needle"));
    EXPECT_FALSE(component.removeCalibration("needle"));
    EXPECT_FALSE(component.calibration("needle"));
    EXPECT_EQ(component.id(), "InstrumentCalibration");
}

TEST(InstrumentCalibrationDataComponent, CopiesAreIndependentAndFoundOnTheStream)
{
    ScriptedStream stream;
    auto& component = stream.components().getOrAdd<InstrumentCalibrationDataComponent>();
    component.setCalibration("pointer", Eigen::Matrix4d::Identity(), 1.0);
    EXPECT_EQ(stream.components().get<InstrumentCalibrationDataComponent>(), &component);

    std::unique_ptr<DataComponent> clone = component.cloneDerived();
    auto* copy = dynamic_cast<InstrumentCalibrationDataComponent*>(clone.get());
    ASSERT_NE(copy, nullptr);
    copy->setCalibration("pointer", Eigen::Matrix4d::Zero(), 2.0);
    EXPECT_DOUBLE_EQ(component.calibration("pointer")->value, 1.0);

    EXPECT_TRUE(component.assign(*copy));
    EXPECT_DOUBLE_EQ(component.calibration("pointer")->value, 2.0);
}

TEST(InstrumentCalibrationDataComponent, StreamThreadsReadWhileTheUserInterfaceWrites)
{
    // Every calibration written has value k and translation (k, 2k, 3k): a reader that ever sees a record
    // whose parts disagree has seen a torn write.
    InstrumentCalibrationDataComponent component;
    std::atomic<bool> done{ false };
    std::atomic<int> reads{ 0 };
    std::atomic<int> torn{ 0 };
    std::vector<std::thread> readers;
    for (int r = 0; r < 3; ++r)
        readers.emplace_back(
          [&]
          {
              while (!done)
              {
                  for (const char* id : { "pointer", "needle" })
                  {
                      if (auto c = component.calibration(id))
                      {
                          const double k = c->value;
                          if (c->matrix(0, 3) != k || c->matrix(1, 3) != 2 * k || c->matrix(2, 3) != 3 * k)
                              ++torn;
                          ++reads;
                      }
                  }
                  InstrumentCalibrationDataComponent snapshot(component);
                  (void)snapshot.instrumentIds();
              }
          });

    std::mt19937 random(7);
    for (int i = 0; i < 3000 || reads < 100; ++i)
    {
        const double k = random() % 1000;
        Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
        m.block<3, 1>(0, 3) = Eigen::Vector3d(k, 2 * k, 3 * k);
        component.setCalibration(i % 2 ? "pointer" : "needle", m, k);
        if (i % 50 == 0)
            component.removeCalibration("needle");
        if (i % 97 == 0)
            component = InstrumentCalibrationDataComponent(component);
    }
    done = true;
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(reads, 0);
}
