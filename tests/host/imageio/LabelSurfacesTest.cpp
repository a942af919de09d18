#include "imageio/LabelSurfaces.h"

#include <gtest/gtest.h>

#include "lib/SharedImageSet.h"
#include "lib/geometry/CriticalStructures.h"

#include "LogExpectation.h"

namespace Kelvaros
{
namespace
{

constexpr double kSpacing = 0.5;

/// Balls of radius 4 mm labelled 1 and 2, 12 mm apart along x, in a 0.5 mm grid shifted in the world: the surfaces
/// must come out in image coordinates all the same.
SharedImageSet twoBalls()
{
    SharedImageSet labels("vessels", { 48, 24, 24 }, Eigen::Vector3d::Constant(kSpacing));
    labels.setMatrix(Eigen::Affine3d(Eigen::Translation3d(100, 0, 0)).matrix());
    for (int z = 0; z < 24; ++z)
        for (int y = 0; y < 24; ++y)
            for (int x = 0; x < 48; ++x)
                for (const int label : { 1, 2 })
                    if ((labels.voxelToImage(Eigen::Vector3d(x, y, z)) - Eigen::Vector3d(label == 1 ? -6 : 6, 0, 0))
                          .norm() <= 4.0)
                        labels.setVoxel({ x, y, z }, float(label));
    return labels;
}

TEST(LabelSurfacesTest, EachLabelBecomesAStructureAroundItsVoxels)
{
    const auto structures = LabelSurfaces::extract(twoBalls());
    ASSERT_TRUE(structures);
    ASSERT_EQ(structures->size(), 2u);
    CriticalStructures critical;
    std::string reason;
    for (const LabelSurfaces::Structure& s : *structures)
        ASSERT_TRUE(critical.add(s.name, s.mesh, &reason)) << reason;
    for (const double x : { -16.0, -6.0, 1.0, 6.0, 13.0 })
    {
        const BreachDistance reading = critical.tip({ x, 0, 0 });
        const double centre = x < 0 ? -6 : 6;
        EXPECT_EQ(reading.structure, x < 0 ? "label 1" : "label 2") << x;
        EXPECT_NEAR(reading.distance, std::abs(x - centre) - 4.0, kSpacing) << x;
    }
}

TEST(LabelSurfacesTest, RefusesWhatIsNotALabelMap)
{
    const Testing::LogExpectation expected(Log::Error, "No structures from the label volume 'labels'", 3);
    SharedImageSet labels("labels", { 4, 4, 5 }, Eigen::Vector3d::Ones());
    std::string error;
    EXPECT_FALSE(LabelSurfaces::extract(labels, &error));
    EXPECT_NE(error.find("'labels': no voxel holds a label"), std::string::npos) << error;
    labels.setVoxel({ 1, 1, 1 }, 1.5f);
    EXPECT_FALSE(LabelSurfaces::extract(labels, &error));
    EXPECT_NE(error.find("holds 1.5, not a label"), std::string::npos) << error;
    for (int i = 0; i < 64; ++i)
        labels.voxels()[std::size_t(i)] = float(i + 1);
    EXPECT_TRUE(LabelSurfaces::extract(labels, &error));
    labels.voxels()[64] = 65.0f;
    EXPECT_FALSE(LabelSurfaces::extract(labels, &error));
    EXPECT_NE(error.find("more than 64 labels"), std::string::npos) << error;
}

} // namespace
} // namespace Kelvaros
