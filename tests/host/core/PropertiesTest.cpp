#include "core/Properties.h"

#include <map>
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

TEST(PropertiesTest, CopiesAreDeepAndEqual)
{
    const Properties original = sampleTree();
    Properties copy(original);
    EXPECT_EQ(copy, original);
    copy.subPropertiesAll("item")[1]->subProperties("leaf")->setParam("deep", false);
    EXPECT_NE(copy, original);
    EXPECT_EQ(original.subPropertiesAll("item")[1]->subProperties("leaf")->paramOr("deep", false), true);

    Properties assigned = original;
    assigned = assigned;
    EXPECT_EQ(assigned, original);

    // Copying from a descendant must not read the descendant after clearing it.
    Properties tree = sampleTree();
    tree.copyFrom(*tree.subPropertiesAll("item")[1]);
    EXPECT_EQ(tree.name(), "item");
    EXPECT_EQ(tree.paramOr("index", -1), 1);
    ASSERT_NE(tree.subProperties("leaf"), nullptr);

    Properties* self = tree.addSubProperties(tree);
    EXPECT_EQ(self->subPropertiesAll().size(), 1u) << "a node copied into itself is copied as it was";
    EXPECT_EQ(tree.subPropertiesAll().size(), 2u);
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
    EXPECT_EQ(Properties::parseAttributes(""), Map{});
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

TEST(PropertiesTest, FormattedAttributesParseBack)
{
    using Map = std::map<std::string, std::string>;
    // Names and values made of the characters that matter to the grammar.
    const Map maps[] = { {},
                         { { "values", "None, Kalman Filter" }, { "min", "" } },
                         { { " a: b ", " 'x', \\" }, { "", "\\'" } },
                         { { "tooltip", "Don't move: it measures\t" }, { "'", ":," } } };
    for (const Map& map : maps)
    {
        const std::string formatted = Properties::formatAttributes(map);
        EXPECT_EQ(Properties::parseAttributes(formatted), map) << "\"" << formatted << "\"";
    }
}
