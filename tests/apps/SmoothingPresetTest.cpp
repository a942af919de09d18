#include "SmoothingPreset.h"

#include <gtest/gtest.h>

#include "core/Properties.h"
#include "lib/numerics/SmoothingPresets.h"

#include "CommandLine.h"

using namespace Kelvaros;
using namespace Kelvaros::Nav;

// Each preset names the smoothed stream's mode and filter; "adaptive" must switch the new filter on and "default" must
// leave the stream at its own defaults.
TEST(SmoothingPreset, ConfiguresTheSmoothedStream)
{
    struct Row
    {
        const char* name;
        bool adaptive;
        double translationError;
    };
    for (const Row& row : { Row{ "default", false, 0.5 }, Row{ "adaptive", true, 0.15 } })
    {
        SCOPED_TRACE(row.name);
        const auto preset = SmoothingPresets::configuration(row.name);
        ASSERT_NE(preset, nullptr);
        int mode = -1;
        bool adaptive = !row.adaptive;
        double translationError = 0.0;
        EXPECT_TRUE(preset->param("smoothingMode", mode));
        EXPECT_TRUE(preset->param("adaptive", adaptive));
        EXPECT_TRUE(preset->param("translationError", translationError));
        EXPECT_EQ(mode, 2);
        EXPECT_EQ(adaptive, row.adaptive);
        EXPECT_EQ(translationError, row.translationError);
    }
}

TEST(SmoothingPreset, RefusesUnknownNamesAndOtherStreamChoices)
{
    const CommandLine::Syntax syntax{ { "preset", "config", "algorithm" }, {}, 0, 0 };
    EXPECT_EQ(presetOf(CommandLine({}, syntax)).configuration, nullptr);
    EXPECT_EQ(presetOf(CommandLine({}, syntax)).error, "");
    EXPECT_EQ(presetOf(CommandLine({ "--preset", "fast" }, syntax)).error,
              "unknown preset 'fast' (presets: default, adaptive)");
    EXPECT_NE(presetOf(CommandLine({ "--preset", "adaptive", "--config", "a.xml" }, syntax)).error, "");
    EXPECT_NE(presetOf(CommandLine({ "--preset", "adaptive" }, syntax)).configuration, nullptr);
}
