#include "core/Properties.h"

#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

using namespace Kelvaros;

namespace
{
Properties sampleTree()
{
    Properties root("Root");
    root.setParam("a", 1);
    root.setParam("b", std::string("text"), std::string("default"));
    root.setParamAttributes("b", "tooltip: a text");
    Properties* first = root.addSubProperties("item");
    first->setParam("index", 0);
    Properties* second = root.addSubProperties("item");
    second->setParam("index", 1);
    second->addSubProperties("leaf")->setParam("deep", true);
    root.addSubProperties("other");
    return root;
}
} // namespace

TEST(PropertiesTest, ParametersKeepTheirOrderAndPosition)
{
    Properties p("Node");
    p.setParam("z", 1);
    p.setParam("a", 2);
    p.setParam("m", 3);
    p.setParam("z", 4);
    EXPECT_EQ(p.params(), (std::vector<std::string>{ "z", "a", "m" }));
    EXPECT_EQ(p.paramText("z"), "4");
    EXPECT_EQ(p.paramText("missing"), "");
    EXPECT_TRUE(p.hasParam("a"));
    EXPECT_FALSE(p.hasParam("A"));

    p.removeParam("a");
    p.removeParam("missing");
    EXPECT_EQ(p.params(), (std::vector<std::string>{ "z", "m" }));
    EXPECT_FALSE(p.isEmpty());
}

TEST(PropertiesTest, TypesDefaultsAndAttributes)
{
    Properties p;
    p.setParamType("file", ParamTypePath);
    EXPECT_TRUE(p.hasParam("file")) << "setting a type adds the key";
    EXPECT_EQ(p.paramText("file"), "");
    p.setParam("file", std::string("/tmp/x"));
    EXPECT_EQ(p.paramType("file"), ParamTypePath) << "a value keeps the recorded type";
    EXPECT_EQ(p.paramType("missing"), ParamTypeUnknown);

    p.setParam("mode", 2);
    p.setParamType("mode", ParamTypeEnum);
    EXPECT_EQ(p.paramType("mode"), ParamTypeEnum);

    int d = -1;
    EXPECT_FALSE(p.paramDefault("mode", d));
    p.setParam("mode", 1, 2);
    EXPECT_TRUE(p.paramDefault("mode", d));
    EXPECT_EQ(d, 2);
    EXPECT_EQ(p.paramOr("mode", 0), 1);

    p.setParamLabel("label", "Label [mm]");
    EXPECT_EQ(p.paramLabel("label"), "Label [mm]");
    EXPECT_EQ(p.paramText("label"), "") << "setting a label adds the key";
    p.setParamAttributes("label", "hidden: true");
    EXPECT_EQ(p.paramLabel("label"), "Label [mm]") << "replacing the attributes keeps the label";
    EXPECT_EQ(p.paramLabel("missing"), "");

    p.setParamAttributes("range", "min: 0, max: 10");
    EXPECT_TRUE(p.hasParam("range"));
    EXPECT_EQ(p.paramAttributes("range"), "min: 0, max: 10");
    EXPECT_EQ(p.paramAttributes("missing"), "");
}

TEST(PropertiesTest, SubPropertiesFormLists)
{
    Properties root = sampleTree();
    ASSERT_EQ(root.subPropertiesAll("item").size(), 2u);
    EXPECT_EQ(root.subPropertiesAll().size(), 3u);
    EXPECT_TRUE(root.subPropertiesAll("none").empty());
    EXPECT_EQ(root.subProperties("item")->paramOr("index", -1), 0);
    EXPECT_EQ(root.subProperties("missing"), nullptr);
    EXPECT_EQ(root.subPropertiesAll("item")[1]->subProperties("leaf")->paramOr("deep", false), true);

    Properties* first = root.subProperties("item");
    Properties foreign;
    EXPECT_FALSE(root.removeSubProperties(&foreign));
    EXPECT_FALSE(root.removeSubProperties(root.subPropertiesAll("item")[1]->subProperties("leaf")))
      << "only direct children are removed";
    EXPECT_TRUE(root.removeSubProperties(first));
    EXPECT_EQ(root.subProperties("item")->paramOr("index", -1), 1);

    Properties* copy = root.addSubProperties(root);
    EXPECT_EQ(copy->subPropertiesAll().size(), 2u) << "a node copied into itself is copied as it was";
    EXPECT_EQ(root.subPropertiesAll().size(), 3u);

    root.clear();
    EXPECT_TRUE(root.isEmpty());
    EXPECT_EQ(root.name(), "Root");
}

TEST(PropertiesTest, CopiesAreDeepAndEqual)
{
    const Properties original = sampleTree();
    Properties copy(original);
    EXPECT_EQ(copy, original);
    copy.subPropertiesAll("item")[1]->subProperties("leaf")->setParam("deep", false);
    EXPECT_NE(copy, original);
    EXPECT_EQ(original.subPropertiesAll("item")[1]->subProperties("leaf")->paramOr("deep", false), true);

    Properties assigned("Other");
    assigned.setParam("x", 1);
    assigned = original;
    EXPECT_EQ(assigned, original);
    assigned = assigned;
    EXPECT_EQ(assigned, original);

    // Copying from a descendant must not read the descendant after clearing it.
    Properties tree = sampleTree();
    tree.copyFrom(*tree.subPropertiesAll("item")[1]);
    EXPECT_EQ(tree.name(), "item");
    EXPECT_EQ(tree.paramOr("index", -1), 1);
    ASSERT_NE(tree.subProperties("leaf"), nullptr);
}

TEST(PropertiesTest, EqualitySeesEveryField)
{
    const Properties base = sampleTree();
    auto differs = [&](auto change)
    {
        Properties other = base;
        change(other);
        return other != base;
    };
    EXPECT_TRUE(differs([](Properties& p) { p.setName("root"); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParam("a", 2); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParamType("a", ParamTypeEnum); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParamAttributes("b", "tooltip: other"); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParamLabel("b", "B"); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParam("b", std::string("text"), std::string("other")); }));
    EXPECT_TRUE(differs([](Properties& p) { p.setParam("a", 1, 1); }));
    EXPECT_TRUE(differs([](Properties& p) { p.addSubProperties("item"); }));
    EXPECT_TRUE(differs([](Properties& p) { p.subProperties("other")->setName("other2"); }));
    EXPECT_TRUE(differs(
      [](Properties& p)
      {
          // Same parameters in another order.
          p.removeParam("a");
          p.setParam("a", 1);
      }));
    EXPECT_FALSE(differs([](Properties& p) { p.setParam("a", 1); }));
}

TEST(PropertiesTest, AttributeStringsParse)
{
    using Map = std::map<std::string, std::string>;
    EXPECT_EQ(Properties::parseAttributes("min: 0, max: 10"), (Map{ { "min", "0" }, { "max", "10" } }));
    EXPECT_EQ(Properties::parseAttributes(""), Map{});
    EXPECT_EQ(Properties::parseAttributes("hidden: true"), (Map{ { "hidden", "true" } }));
    EXPECT_EQ(Properties::parseAttributes("min:0,max:10, "), (Map{ { "min", "0" }, { "max", "10" } }));
    EXPECT_EQ(Properties::parseAttributes("values: 'Pivot3d,NeedleDir'"), (Map{ { "values", "Pivot3d,NeedleDir" } }));
    EXPECT_EQ(Properties::parseAttributes("values: None, Weighted Avergage, Kalman Filter, hidden: false"),
              (Map{ { "values", "None, Weighted Avergage, Kalman Filter" }, { "hidden", "false" } }));
    EXPECT_EQ(Properties::parseAttributes("tooltip: Don't move: it measures"),
              (Map{ { "tooltip", "Don't move: it measures" } }));
    EXPECT_EQ(Properties::parseAttributes("tooltip: a\\, b"), (Map{ { "tooltip", "a, b" } }));
    EXPECT_EQ(Properties::parseAttributes("'a: b': ' x ', min: 1, min: 2"), (Map{ { "a: b", " x " }, { "min", "2" } }));
    EXPECT_EQ(Properties::parseAttributes("flag"), (Map{ { "flag", "" } }));
    EXPECT_EQ(Properties::parseAttributes("tooltip: 'unclosed, min: 1"), (Map{ { "tooltip", "unclosed, min: 1" } }));
}

TEST(PropertiesTest, AttributeStringsRoundTrip)
{
    using Map = std::map<std::string, std::string>;
    const Map fixed{ { "values", "None, Weighted Avergage, Kalman Filter" },
                     { "min", "0" },
                     { "tooltip", "it's \\ odd:" },
                     { "empty", "" },
                     { " spaced ", " x " } };
    const std::string text = Properties::formatAttributes(fixed);
    EXPECT_EQ(Properties::parseAttributes(text), fixed) << text;
    EXPECT_EQ(Properties::formatAttributes({ { "min", "0" }, { "max", "10" } }), "max: 10, min: 0");

    // Random names and values drawn from the characters that matter to the grammar.
    const std::string alphabet = "ab ,:'\\\t";
    std::mt19937 random(7);
    auto randomText = [&]
    {
        std::string s;
        const int length = int(random() % 6);
        for (int i = 0; i < length; ++i)
            s += alphabet[random() % alphabet.size()];
        return s;
    };
    for (int i = 0; i < 2000; ++i)
    {
        Map map;
        const int count = int(random() % 4);
        for (int j = 0; j < count; ++j)
            map[randomText()] = randomText();
        const std::string formatted = Properties::formatAttributes(map);
        ASSERT_EQ(Properties::parseAttributes(formatted), map) << "\"" << formatted << "\"";
    }
}
