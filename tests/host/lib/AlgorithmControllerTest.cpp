#include "lib/AlgorithmController.h"

#include <memory>

#include <gtest/gtest.h>

#include "lib/Algorithm.h"
#include "lib/AlgorithmControllerFactory.h"

namespace Kelvaros
{
namespace
{
class NoopAlgorithm : public Algorithm
{
public:
    void compute() override { setStatus(Success); }
};

class NoopController : public AlgorithmController
{
public:
    using AlgorithmController::AlgorithmController;
    void init() override {}
};

TEST(AlgorithmController, TitleComesFromFactoryInfo)
{
    NoopAlgorithm algorithm;
    NoopController controller(&algorithm);
    EXPECT_EQ(controller.algorithm(), &algorithm);
    EXPECT_EQ(controller.title(), "");
    algorithm.setFactoryInfo({ "Nav.Fit", "", {} });
    EXPECT_EQ(controller.title(), "Nav.Fit");
    algorithm.setFactoryInfo({ "Nav.Fit", "Point Fit", {} });
    EXPECT_EQ(controller.title(), "Point Fit");
}

TEST(AlgorithmController, CloseRequestReachesTheHost)
{
    NoopAlgorithm algorithm;
    int requests = 0;
    {
        NoopController controller(&algorithm);
        controller.signalCloseRequested.connect([&requests] { ++requests; });
        controller.closeAlgorithm();
        EXPECT_EQ(requests, 1);
    }
}

TEST(Algorithm, DefaultsBeforeCompute)
{
    NoopAlgorithm algorithm;
    EXPECT_EQ(algorithm.status(), Algorithm::Unknown);
    EXPECT_TRUE(algorithm.takeOutput().isEmpty());
    EXPECT_FALSE(algorithm.survivesDataDeletion(nullptr));
    algorithm.compute();
    EXPECT_EQ(algorithm.status(), Algorithm::Success);
}

} // namespace
} // namespace Kelvaros
