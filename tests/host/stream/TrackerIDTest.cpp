#include "stream/TrackerID.h"

#include <random>
#include <string>

#include <gtest/gtest.h>

using namespace Kelvaros;

namespace
{
/// Random text built mostly from the characters that matter to the text form.
std::string randomPart(std::mt19937& random)
{
    static const std::string alphabet = "||\\\\  ab-_:;,.()~\t\xc3\xa9";
    std::uniform_int_distribution<int> length(0, 8);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::string part;
    for (int n = length(random); n > 0; --n)
        part.push_back(alphabet[pick(random)]);
    return part;
}
} // namespace

TEST(TrackerID, TextFormRoundTripsAnyStrings)
{
    std::mt19937 random(20240611);
    for (int i = 0; i < 5000; ++i)
    {
        const TrackerID original(randomPart(random), randomPart(random), randomPart(random));
        const std::string text = original.toIDModelNameString(false);
        const TrackerID read = TrackerID::fromIDModelNameString(text);
        ASSERT_EQ(read, original) << "text: [" << text << "] id [" << original.ID() << "] model [" << original.model()
                                  << "] name [" << original.name() << "]";
    }
}

TEST(TrackerID, TextFormIsReadableAndEscapesOnlySeparatorAndBackslash)
{
    EXPECT_EQ(TrackerID("NDI-8700338", "Polaris Vega", "Pointer tool").toIDModelNameString(false),
              "NDI-8700338|Polaris Vega|Pointer tool");
    EXPECT_EQ(TrackerID("a|b", "c\\d", "").toIDModelNameString(false), "a\\|b|c\\\\d|");
    EXPECT_EQ(TrackerID().toIDModelNameString(false), "||");
    EXPECT_EQ(TrackerID::fromIDModelNameString("||"), TrackerID());
}

TEST(TrackerID, PlainTextsReadAsIds)
{
    EXPECT_EQ(TrackerID::fromIDModelNameString("tool-1"), TrackerID("tool-1", "", ""));
    EXPECT_EQ(TrackerID::fromIDModelNameString("Pointer 2"), TrackerID("Pointer 2", "", ""));
    // A backslash that starts no escape is kept, so Windows-like ids survive.
    EXPECT_EQ(TrackerID::fromIDModelNameString("COM3\\tool"), TrackerID("COM3\\tool", "", ""));
    EXPECT_EQ(TrackerID::fromIDModelNameString("trailing\\"), TrackerID("trailing\\", "", ""));
    EXPECT_EQ(TrackerID::fromIDModelNameString("id|model"), TrackerID("id", "model", ""));
    // A hand-written extra separator belongs to the name rather than being lost.
    EXPECT_EQ(TrackerID::fromIDModelNameString("id|model|a|b"), TrackerID("id", "model", "a|b"));
    EXPECT_EQ(TrackerID::fromIDModelNameString(""), TrackerID());
}

TEST(TrackerID, EmptyMeansNoIdAndDisplayFormIsShort)
{
    EXPECT_TRUE(TrackerID().empty());
    EXPECT_TRUE(TrackerID("", "model", "name").empty());
    EXPECT_FALSE(TrackerID("7", "", "").empty());
    EXPECT_EQ(TrackerID("7", "m", "Pointer").toIDModelNameString(true), "Pointer (7)");
    EXPECT_EQ(TrackerID("7", "m", "").toIDModelNameString(true), "7");
    EXPECT_EQ(TrackerID("7", "m", "7").toIDModelNameString(true), "7");
}
