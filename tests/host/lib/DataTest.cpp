#include "lib/Data.h"

#include <memory>
#include <random>

#include <Eigen/Geometry>
#include <gtest/gtest.h>

#include "lib/DataComponent.h"
#include "lib/DataList.h"
#include "lib/OwningDataList.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{
class PointData : public Data
{
public:
    explicit PointData(std::string name = "points", int* destroyed = nullptr)
      : Data(std::move(name)), m_destroyed(destroyed)
    {
    }
    ~PointData() override
    {
        if (m_destroyed)
            ++*m_destroyed;
    }
    [[nodiscard]] Kind kind() const override { return Kind::PointSet; }

private:
    int* m_destroyed;
};

struct Label : DataComponentBase<Label>
{
    std::string text;
    [[nodiscard]] std::string id() const override { return "label"; }
};

Eigen::Matrix4d randomPose(std::mt19937& rng)
{
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    std::uniform_real_distribution<double> mm(-200.0, 200.0);
    Eigen::Affine3d pose = Eigen::Translation3d(mm(rng), mm(rng), mm(rng)) *
                           Eigen::AngleAxisd(angle(rng), Eigen::Vector3d(mm(rng), mm(rng), mm(rng)).normalized());
    return pose.matrix();
}

TEST(Data, NameAndMatrixNotifyTheirListeners)
{
    PointData data("first");
    int names = 0;
    int matrices = 0;
    data.signalNameChanged.connect([&names] { ++names; });
    data.signalMatrixChanged.connect([&matrices] { ++matrices; });

    data.setName("second");
    EXPECT_EQ(data.name(), "second");
    EXPECT_EQ(names, 1);

    EXPECT_TRUE(data.matrix().isIdentity());
    std::mt19937 rng(7);
    const Eigen::Matrix4d pose = randomPose(rng);
    data.setMatrix(pose);
    EXPECT_EQ(matrices, 1);
    EXPECT_TRUE(data.matrix().isApprox(pose));
    EXPECT_TRUE(data.matrixToWorld().isApprox(pose));
    EXPECT_TRUE((data.matrixFromWorld() * pose).isIdentity(1e-12));

    // Scaled placements are inverted too.
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.diagonal() << 2.0, 0.5, 3.0, 1.0;
    m.col(3).head<3>() << 10.0, -4.0, 1.0;
    data.setMatrix(m);
    const Eigen::Vector4d world(12.0, -3.5, 4.0, 1.0);
    EXPECT_TRUE((data.matrixFromWorld() * world).isApprox(Eigen::Vector4d(1.0, 1.0, 1.0, 1.0)));
}

TEST(Data, CopyIsDeepAndHasNoListeners)
{
    PointData original("original");
    std::mt19937 rng(11);
    original.setMatrix(randomPose(rng));
    original.components().getOrAdd<Label>().text = "tip";
    int notified = 0;
    original.signalNameChanged.connect([&notified] { ++notified; });

    PointData copy(original);
    EXPECT_EQ(copy.name(), "original");
    EXPECT_TRUE(copy.matrix().isApprox(original.matrix()));
    ASSERT_NE(copy.components().get<Label>(), nullptr);
    EXPECT_NE(copy.components().get<Label>(), original.components().get<Label>());
    copy.components().get<Label>()->text = "changed";
    EXPECT_EQ(original.components().get<Label>()->text, "tip");
    copy.setName("copy");
    EXPECT_EQ(notified, 0);
}

TEST(DataList, DropsNullsAndFindsByKind)
{
    PointData points;
    SharedImageSet ct("ct", { 4, 4, 4 }, { 1, 1, 1 }, Data::Modality::CT);
    SharedImageSet mri("mri", { 4, 4, 4 }, { 1, 1, 1 }, Data::Modality::MRI);
    SharedImageSet slice("slice", { 4, 4, 1 }, { 1, 1, 1 }, Data::Modality::Ultrasound);

    DataList list{ nullptr, &points, &slice, &ct, &mri };
    list.add(nullptr);
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0], &points);

    EXPECT_EQ(list.getFirst(), &points);
    EXPECT_EQ(list.getFirst(Data::Kind::Volume), &ct);
    EXPECT_EQ(list.getFirst(Data::Kind::Mesh), nullptr);

    EXPECT_EQ(list.getImage(), &slice);
    EXPECT_EQ(list.getImage(Data::Kind::Volume), &ct);
    EXPECT_EQ(list.getImage(Data::Kind::Volume, Data::Modality::MRI), &mri);
    EXPECT_EQ(list.getImage(Data::Kind::Image, Data::Modality::CT), nullptr);
    EXPECT_EQ(list.getImages(Data::Kind::Volume).size(), 2u);
    EXPECT_EQ(list.getImages().size(), 3u);
    EXPECT_EQ(list.getAll<Data>().size(), 4u);
    EXPECT_EQ(list.getAll<PointData>().size(), 1u);
    EXPECT_TRUE(DataList{}.isEmpty());
    EXPECT_EQ(DataList{}.getImage(), nullptr);
}

TEST(OwningDataList, OwnsUntilReleased)
{
    int destroyed = 0;
    {
        OwningDataList list;
        list.add(std::make_unique<PointData>("a", &destroyed));
        list.add(nullptr);
        list.add(std::make_unique<PointData>("b", &destroyed));
        ASSERT_EQ(list.size(), 2u);
        EXPECT_EQ(list.dataList()[1]->name(), "b");

        OwningDataList moved = std::move(list);
        EXPECT_EQ(moved.size(), 2u);
        std::vector<std::unique_ptr<Data>> released = moved.release();
        EXPECT_TRUE(moved.isEmpty());
        ASSERT_EQ(released.size(), 2u);
        EXPECT_EQ(released[0]->name(), "a");
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 2);

    {
        OwningDataList list;
        list.add(std::make_unique<PointData>("c", &destroyed));
    }
    EXPECT_EQ(destroyed, 3);
}

} // namespace
} // namespace Kelvaros
