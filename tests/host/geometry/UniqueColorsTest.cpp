#include <vector>

#include <gtest/gtest.h>

#include "lib/numerics/Math.h"

namespace Kelvaros
{
namespace
{

TEST(UniqueColorsTest, DistinctDeterministicAndClearOfSignalColours)
{
    for (bool avoid : { false, true })
    {
        const std::vector<Eigen::Vector3d> colors = Math::generateUniqueColors(20, avoid);
        ASSERT_EQ(colors.size(), 20u);
        EXPECT_EQ(Math::generateUniqueColors(5, avoid),
                  std::vector<Eigen::Vector3d>(colors.begin(), colors.begin() + 5));
        for (std::size_t i = 0; i < colors.size(); ++i)
        {
            for (std::size_t j = 0; j < i; ++j)
                EXPECT_GT((colors[i] - colors[j]).norm(), 0.03) << i << " " << j;
            // Red, orange and yellow are exactly the hues whose red channel is the strongest.
            EXPECT_TRUE(!avoid || colors[i][0] < colors[i].maxCoeff() - 0.04) << i;
        }
    }
    EXPECT_TRUE(Math::generateUniqueColors(-3, true).empty());
}

} // namespace
} // namespace Kelvaros
