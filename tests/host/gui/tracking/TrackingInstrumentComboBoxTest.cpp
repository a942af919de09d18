#include "gui/tracking/TrackingInstrumentComboBox.h"

#include <QCoreApplication>
#include <QStringList>

#include "../GuiTestFixture.h"
#include "TrackingTestSupport.h"
#include "WaitUntil.h"

namespace Kelvaros::Testing
{
namespace
{
QStringList entries(const QComboBox& box)
{
    QStringList texts;
    for (int i = 0; i < box.count(); ++i)
        texts << box.itemText(i);
    return texts;
}

bool entriesBecome(const QComboBox& box, const QStringList& expected)
{
    return waitUntil(
      [&]
      {
          QCoreApplication::processEvents();
          return entries(box) == expected;
      });
}

struct ComboBoxTest : ::testing::Test
{
    void SetUp() override
    {
        ASSERT_TRUE(QCoreApplication::instance()) << "no X display";
        openAndStart(stream);
    }
    void watch(TrackingInstrumentComboBox& box)
    {
        QObject::connect(&box, &TrackingInstrumentComboBox::instrumentSelected,
                         [this](const std::string& id) { selected.push_back(id); });
    }
    ManualTrackingStream stream;
    std::vector<std::string> selected;
};

TEST(TrackingInstrumentComboBoxFormat, JoinsTheFlaggedPartsThatAreNotEmpty)
{
    const TrackerID full("7", "Pointer", "Probe"), bare("9", "", "");
    const struct
    {
        const TrackerID& id;
        int format;
        const char* expected;
    } cases[] = { { full, 1 | 4, "7 : Probe" },
                  { full, 2 | 4, "Pointer : Probe" },
                  { full, 1 | 2 | 4, "7 : Pointer : Probe" },
                  { bare, 4, "9" },
                  { full, 0, "7" } };
    for (const auto& c : cases)
        EXPECT_EQ(TrackingInstrumentComboBox::entryText(c.id, c.format, " : "), c.expected) << c.format;
}

// The list follows the samples; the selected instrument stays selected by id, also while it is gone.
TEST_F(ComboBoxTest, FollowsTheStreamAndKeepsTheSelectionById)
{
    feed(stream, { instrument("A", pose({ 0, 0, 0 })), instrument("B", pose({ 0, 0, 0 })) });
    TrackingInstrumentComboBox box;
    watch(box);
    box.initFromTrackingStream(&stream, TrackingInstrumentComboBox::Id | TrackingInstrumentComboBox::Name, true);
    EXPECT_EQ(entries(box), QStringList({ "(none)", "A : A tool", "B : B tool" }));
    EXPECT_EQ(box.selectedInstrumentId(), "");
    box.selectInstrument("B");

    feed(stream, { instrument("A", pose({ 0, 0, 0 })), instrument("C", pose({ 0, 0, 0 })) });
    ASSERT_TRUE(entriesBecome(box, { "(none)", "A : A tool", "C : C tool", "B : B tool (not seen)" }));
    EXPECT_EQ(box.currentText(), "B : B tool (not seen)");
    feed(stream, { instrument("C", pose({ 0, 0, 0 })), instrument("B", pose({ 0, 0, 0 })) });
    ASSERT_TRUE(entriesBecome(box, { "(none)", "C : C tool", "B : B tool" }));
    EXPECT_EQ(box.selectedInstrumentId(), "B");

    box.setCurrentIndex(1);
    box.setCurrentIndex(0);
    EXPECT_EQ(selected, std::vector<std::string>({ "B", "C", "" }));
}

// Without an empty choice the first instrument is chosen and announced, once it exists; a selection made before
// the fill is kept.
TEST_F(ComboBoxTest, AnnouncesTheFirstInstrumentOnlyWhereNothingWasSelected)
{
    TrackingInstrumentComboBox early, preselected;
    watch(early);
    early.initFromTrackingStream(&stream, TrackingInstrumentComboBox::Id, false);
    EXPECT_EQ(early.count(), 0);
    feed(stream, { instrument("A", pose({ 0, 0, 0 })), instrument("B", pose({ 0, 0, 0 })) });
    ASSERT_TRUE(entriesBecome(early, { "A", "B" }));
    EXPECT_EQ(selected, std::vector<std::string>({ "A" }));

    selected.clear();
    watch(preselected);
    preselected.selectInstrument("B");
    preselected.initFromTrackingStream(&stream, TrackingInstrumentComboBox::Id, false);
    EXPECT_EQ(preselected.currentText(), "B");
    EXPECT_EQ(selected, std::vector<std::string>({ "B" }));
}

} // namespace
} // namespace Kelvaros::Testing
