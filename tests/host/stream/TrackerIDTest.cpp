#include "stream/TrackerID.h"

#include <string>

#include <gtest/gtest.h>

using namespace Kelvaros;

TEST(TrackerID, TextFormsAsStoredInConfigurations)
{
    // Written: id|model|name with only the separator and the backslash escaped; a display form that is short.
    EXPECT_EQ(TrackerID("TRK-0001234", "Optical Model A", "Pointer tool").toIDModelNameString(false),
              "TRK-0001234|Optical Model A|Pointer tool");
    EXPECT_EQ(TrackerID("a|b", "c\\d", "").toIDModelNameString(false), "a\\|b|c\\\\d|");
    EXPECT_EQ(TrackerID("7", "m", "Pointer").toIDModelNameString(true), "Pointer (7)");
    EXPECT_EQ(TrackerID("7", "m", "").toIDModelNameString(true), "7");
    EXPECT_EQ(TrackerID("7", "m", "7").toIDModelNameString(true), "7");

    // Read: hand-written and older texts.
    const std::pair<const char*, TrackerID> read[] = {
        { "tool-1", TrackerID("tool-1", "", "") },
        { "COM3\\tool", TrackerID("COM3\\tool", "", "") }, // a backslash that starts no escape is kept
        { "trailing\\", TrackerID("trailing\\", "", "") },
        { "id|model", TrackerID("id", "model", "") },
        { "id|model|a|b", TrackerID("id", "model", "a|b") }, // an extra separator belongs to the name
        { "||", TrackerID() },
        { "", TrackerID() },
    };
    for (const auto& [text, expected] : read)
        EXPECT_EQ(TrackerID::fromIDModelNameString(text), expected) << text;
    EXPECT_TRUE(TrackerID("", "model", "name").empty());
    for (const TrackerID& id :
         { TrackerID("a|b\\", "|", "\\|x"), TrackerID("\\", "", "||"), TrackerID(" é", "\t", "") })
        EXPECT_EQ(TrackerID::fromIDModelNameString(id.toIDModelNameString(false)), id) << id.toIDModelNameString(false);
}
