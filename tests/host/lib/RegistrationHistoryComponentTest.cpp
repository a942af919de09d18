#include "lib/RegistrationHistoryComponent.h"

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/SharedImageSet.h"

using namespace Kelvaros;
using History = RegistrationHistoryComponent;

namespace
{
Eigen::Matrix4d thirds(double scale)
{
    Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
    m.topRightCorner<3, 1>() = Eigen::Vector3d(1.0, -2.0, 4.0) * scale / 3.0;
    return m;
}

History::Provenance provenance(int type, std::string method = {})
{
    History::Provenance p{ "2026-12-07T06:12:31+01:00",
                           6,
                           1.0 / 3.0,
                           0.25,
                           0.5,
                           "estimated from the FRE",
                           std::nullopt,
                           type,
                           "improbable",
                           "Warning: …",
                           2,
                           std::move(method) };
    return p;
}

/// Two registrations of a volume: the first, a surface refinement, moved the volume, the second (landmarks)
/// calibrated a reference that had none.
History twoRegistrations()
{
    History history;
    history.record(provenance(0, History::kSurfaceMethod), { thirds(1), std::nullopt, std::nullopt }, { thirds(2), std::nullopt, std::nullopt });
    history.record(provenance(2),
                   { std::nullopt, thirds(3), History::CalibrationState{ "Reference", std::nullopt, 0 } },
                   { std::nullopt, thirds(4), History::CalibrationState{ "Reference", thirds(5), 0.0 } });
    return history;
}

TEST(RegistrationHistoryComponent, RestoreSwapsAndTheWorkspaceTextKeepsEveryBit)
{
    History history = twoRegistrations();
    EXPECT_EQ(history.previous()->provenance, provenance(0, History::kSurfaceMethod));
    EXPECT_EQ(history.restorePrevious()->streamMatrix, thirds(3));
    EXPECT_EQ(history.current()->provenance->summary(),
              "2026-12-07T06:12:31+01:00: surface refinement, 6 points, RMS distance 0.33 mm, improbable");
    EXPECT_EQ(history.restorePrevious()->calibration->matrix, thirds(5));

    SharedImageSet volume("volume", Eigen::Vector3i(2, 2, 2), Eigen::Vector3d(1, 1, 1));
    volume.components().add(std::make_unique<History>(history));
    Properties node("data");
    History::saveTo(volume, node);
    SharedImageSet loaded("volume", Eigen::Vector3i(2, 2, 2), Eigen::Vector3d(1, 1, 1));
    EXPECT_TRUE(History::loadInto(*Properties::fromXml(node.toXml()), loaded).empty());
    const History* read = loaded.components().get<History>();
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->current(), history.current());
    EXPECT_EQ(read->previous(), history.previous());
}

TEST(RegistrationHistoryComponent, LoadingNamesWhatItCannotReadAndDropsThatEntry)
{
    Properties node;
    twoRegistrations().save(node);
    node.subProperties("current")->setParam("streamMatrix", std::string("1 2 3"));
    // A singular matrix reads as numbers but would be put in place by a restore.
    node.subProperties("previous")->setParam("volumeMatrix", std::string("0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1"));
    node.subProperties("previous")->subProperties("provenance")->setParam("freMm", std::string("nan"));
    History history;
    const std::vector<std::string> problems = history.load(node);
    ASSERT_EQ(problems.size(), 3u);
    EXPECT_EQ(problems[0], "the current registration field 'streamMatrix' cannot be read ('1 2 3'); the current "
                           "registration was dropped");
    EXPECT_EQ(problems[1].substr(0, 61), "the previous registration field 'volumeMatrix' cannot be read");
    EXPECT_EQ(problems[2], "the provenance of the previous registration field 'freMm' cannot be read ('nan'); the "
                           "previous registration was dropped");
    EXPECT_FALSE(history.current() || history.previous());
}
} // namespace
