#include "core/PropertiesXml.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>

#include <Eigen/Core>
#include <gtest/gtest.h>

#include "core/Properties.h"

#include "LogExpectation.h"

using namespace Kelvaros;
namespace fs = std::filesystem;

namespace
{
/// A tree with every value type and every kind of text that XML makes hard.
Properties richTree()
{
    Properties root("Workspace");
    root.setParam("flag", true, false);
    root.setParam("count", -42, 0);
    root.setParam("ratio", 0.1, 1e300);
    root.setParam("tiny", 5e-324);
    root.setParam("negativeZero", -0.0);
    root.setParam("infinite", -std::numeric_limits<double>::infinity());
    root.setParam("offset", Eigen::Vector3d(0.1, -2.5e-7, 1e16));
    Eigen::Matrix4d m;
    for (int i = 0; i < 16; ++i)
        m(i) = i * 0.37 - 2;
    root.setParam("pose", m, Eigen::Matrix4d::Identity().eval());
    root.setParam("mode", 2);
    root.setParamType("mode", ParamTypeEnum);
    root.setParamAttributes("mode", Properties::formatAttributes({ { "values", "None, Weighted Avergage, Kalman" } }));
    root.setParam("path", std::string("/data/scan 1.mhd"));
    root.setParamType("path", ParamTypePath);
    root.setParamLabel("path", "Scan <file> \"1\"");

    Properties* text = root.addSubProperties("texts");
    text->setParam("spaces", std::string("  leading and trailing  "));
    text->setParam("lines", std::string("line 1\nline 2\r\nline 3\rend\n"));
    text->setParam("markup", std::string("<a href=\"x\">&amp; 'quoted' ]]> </a>"));
    text->setParam("utf8", std::string("Größe µm – 測定 🙂"));
    text->setParam("emptyDefault", std::string("x"), std::string());
    text->setParamAttributes("spaces", "tooltip: ' padded '");
    text->setParamLabel("binary", "label\x01");
    // Text that XML cannot hold at all: control characters, a NUL, invalid UTF-8, a leading byte-order mark.
    text->setParam("control", std::string("bell\a and \x01 and nul:") + std::string(1, '\0') + "end");
    text->setParam("binary", std::string("\xff\xfe\x80 not utf-8"));
    text->setParam("bom", std::string("\xef\xbb\xbf"
                                      "after mark"));
    text->setParam(std::string("key\x02with control"), 1);

    Properties* odd = root.addSubProperties(std::string("name\x03odd"));
    odd->setParam("x", 1);
    root.addSubProperties("");
    Properties* deep = root.addSubProperties("level");
    for (int i = 0; i < 10; ++i)
        deep = deep->addSubProperties("level");
    deep->setParam("depth", 11);
    for (int i = 0; i < 3; ++i)
        root.addSubProperties("item")->setParam("index", i);
    return root;
}

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

class PropertiesXmlTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::random_device seed;
        m_dir = fs::temp_directory_path() / ("KelvarosPropertiesXmlTest-" + std::to_string(seed()));
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    /// Parses text that must be refused; returns the one Error line logged for it.
    std::string refusal(const std::string& xml)
    {
        Testing::LogExpectation expect(Log::Error, "doc.xml:", 1);
        EXPECT_EQ(Properties::fromXml(xml, "doc.xml"), nullptr) << xml;
        const auto log = Testing::capturedLog();
        return log.empty() ? std::string() : log.back().message;
    }

    fs::path m_dir;
};

/// The line of a "doc.xml:<line>:<column>: <reason>" message, or -1 when it is not of that form.
int lineOf(const std::string& message)
{
    int line = -1, column = -1, end = 0;
    std::sscanf(message.c_str(), "doc.xml:%d:%d: %n", &line, &column, &end);
    return end > 0 && column >= 0 ? line : -1;
}
} // namespace

TEST_F(PropertiesXmlTest, TreeSurvivesTextAndFilesExactly)
{
    const Properties tree = richTree();
    const std::string xml = tree.toXml();
    const auto loaded = Properties::fromXml(xml);
    ASSERT_NE(loaded, nullptr);
    EXPECT_EQ(*loaded, tree);
    EXPECT_EQ(loaded->toXml(), xml);

    const fs::path file = m_dir / "tree.xml";
    ASSERT_TRUE(tree.saveToXmlFile(file.string()));
    EXPECT_EQ(readFile(file), xml);
    const auto fromFile = Properties::loadFromXmlFile(file.string());
    ASSERT_NE(fromFile, nullptr);
    EXPECT_EQ(*fromFile, tree);
    ASSERT_TRUE(fromFile->saveToXmlFile(file.string()));
    EXPECT_EQ(readFile(file), xml) << "save, load, save must give the same bytes";
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 1)
      << "no temporary file is left beside the target";

    // An empty default is told apart from no default.
    std::string defaultText = "unset";
    EXPECT_TRUE(fromFile->subProperties("texts")->paramDefault("emptyDefault", defaultText));
    EXPECT_EQ(defaultText, "");
    EXPECT_FALSE(fromFile->subProperties("texts")->paramDefault("spaces", defaultText));
}

TEST_F(PropertiesXmlTest, WrittenFormIsReadable)
{
    Properties p("Stream");
    p.setParam("smoothingMode", 2, 2);
    p.setParamType("smoothingMode", ParamTypeEnum);
    p.setParamAttributes("smoothingMode", "values: 'None, Kalman'");
    p.setParamLabel("smoothingMode", "Mode");
    p.addSubProperties("instrument")->setParam("id", std::string("Pointer"));
    p.subProperties("instrument")->setParam("odd", std::string("\x01"));
    EXPECT_EQ(p.toXml(), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                         "<properties name=\"Stream\">\n"
                         "  <param key=\"smoothingMode\" value=\"2\" default=\"2\" type=\"8\" "
                         "attributes=\"values: 'None, Kalman'\" label=\"Mode\"/>\n"
                         "  <properties name=\"instrument\">\n"
                         "    <param key=\"id\" value=\"Pointer\" type=\"4\"/>\n"
                         "    <param encoding=\"base64\" key=\"b2Rk\" value=\"AQ==\" type=\"4\"/>\n"
                         "  </properties>\n"
                         "</properties>\n");
}

TEST_F(PropertiesXmlTest, HandWrittenFileIsAccepted)
{
    const fs::path file = m_dir / "hand.xml";
    writeFile(file, "<?xml version='1.0'?>\n"
                    "<!-- settings written by hand -->\n"
                    "<properties name='Calibration'>\n"
                    "  <properties name=\"first\"/>\n"
                    "  <param key='threshold' value='0.25'/>\n"
                    "  <param key='label' value='a &lt; b &#38; c&#10;next line'></param>\n"
                    "  <param key='flag' value='true' type='1' label='Enabled'/>\n"
                    "  <param key='empty'/>\n"
                    "  <?editor keep?>\n"
                    "  <properties name='second'><![CDATA[ ]]></properties>\n"
                    "</properties>\n");
    const auto p = Properties::loadFromXmlFile(file.string());
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->name(), "Calibration");
    EXPECT_EQ(p->params(), (std::vector<std::string>{ "threshold", "label", "flag", "empty" }));
    EXPECT_EQ(p->paramOr("threshold", 0.0), 0.25);
    EXPECT_EQ(p->paramText("label"), "a < b & c\nnext line");
    EXPECT_EQ(p->paramOr("flag", false), true);
    EXPECT_EQ(p->paramType("flag"), ParamTypeBool);
    EXPECT_EQ(p->paramLabel("flag"), "Enabled");
    EXPECT_EQ(p->paramType("threshold"), ParamTypeUnknown);
    EXPECT_TRUE(p->hasParam("empty"));
    ASSERT_EQ(p->subPropertiesAll().size(), 2u);
    EXPECT_EQ(p->subPropertiesAll()[1]->name(), "second");
}

TEST_F(PropertiesXmlTest, MalformedDocumentsAreRefusedWithTheirLocation)
{
    struct Case
    {
        const char* xml;
        int line;
        const char* reason;
    };
    const Case cases[] = {
        { "", 1, "Premature end" },
        { "<properties name='a'>\n<param key='x'/>\n</propertie>", 3, "mismatch" },
        { "<properties name='a'>\n  <param key='x' value='1'/>\n", 3, "Premature end" },
        { "<param key='x'/>", 1, "root element must be <properties>" },
        { "<properties name='a'>\n\n  <item/>\n</properties>", 3, "unknown element <item>" },
        { "<properties>\n</properties>", 1, "without a \"name\"" },
        { "<properties name='a'>\n  <param value='1'/>\n</properties>", 2, "without a \"key\"" },
        { "<properties name='a'>\n  <param key='x'/>\n\n  <param key='x'/>\n</properties>", 4, "duplicate key \"x\"" },
        { "<properties name='a'>\n  <param key='x' defualt='1'/>\n</properties>", 2, "unknown attribute \"defualt\"" },
        { "<properties name='a'>\n  <param key='x' type='2x'/>\n</properties>", 2, "not an integer" },
        { "<properties name='a'>\n  <param encoding='base64' key='***'/>\n</properties>", 2, "not valid Base64" },
        { "<properties name='a'>\n  loose text\n</properties>", 3, "unexpected text" },
        { "<properties name='a'>\n  <param key='x'><properties name='b'/></param>\n</properties>", 2,
          "inside <param>" },
        { "<!DOCTYPE properties [<!ENTITY big 'xx'>]>\n<properties name='&big;'/>", 1, "document type" },
        { "<properties name='a&undefined;'/>", 1, "not declared" },
        { "<properties name='a'/>\n<properties name='b'/>", 2, "Extra content" },
        // Qt decodes ahead of the parser, so it places bad encoding at the point where decoding stopped.
        { "<?xml version='1.0' encoding='UTF-8'?>\n<properties name='\xff'/>", 0, "incorrectly encoded" },
    };
    for (const Case& c : cases)
    {
        const std::string message = refusal(c.xml);
        const int line = lineOf(message);
        EXPECT_TRUE(c.line > 0 ? line == c.line : line > 0) << c.xml << "\n -> " << message;
        EXPECT_NE(message.find(c.reason), std::string::npos) << c.xml << "\n -> " << message;
    }

    std::string tooDeep;
    for (int i = 0; i <= PropertiesXml::maxDepth; ++i)
        tooDeep += "<properties name='x'>";
    EXPECT_NE(refusal(tooDeep).find("deeper than"), std::string::npos);
}

TEST_F(PropertiesXmlTest, EveryTruncationIsRefused)
{
    const std::string xml = richTree().toXml();
    // Everything before the final '>' is incomplete (only the trailing line feed may go).
    const size_t complete = xml.rfind('>') + 1;
    Testing::LogExpectation expect(Log::Error, "cut.xml:", int(complete));
    for (size_t length = 0; length < complete; ++length)
        ASSERT_EQ(Properties::fromXml(xml.substr(0, length), "cut.xml"), nullptr) << "length " << length;
    EXPECT_NE(Properties::fromXml(xml.substr(0, complete), "cut.xml"), nullptr);
}

TEST_F(PropertiesXmlTest, FileErrorsAreLogged)
{
    const std::string missing = (m_dir / "missing.xml").string();
    {
        Testing::LogExpectation expect(Log::Error, missing + ": cannot open", 1);
        EXPECT_EQ(Properties::loadFromXmlFile(missing), nullptr);
    }
    const std::string badFolder = (m_dir / "no" / "such" / "folder.xml").string();
    {
        Testing::LogExpectation expect(Log::Error, badFolder + ": cannot write", 1);
        EXPECT_FALSE(Properties("x").saveToXmlFile(badFolder));
    }
    const fs::path broken = m_dir / "broken.xml";
    writeFile(broken, "<properties name='a'>\n  <param key='x'/>\n  <param key='x'/>\n</properties>\n");
    {
        Testing::LogExpectation expect(Log::Error, broken.string() + ":3:", 1);
        EXPECT_EQ(Properties::loadFromXmlFile(broken.string()), nullptr);
    }
}

TEST_F(PropertiesXmlTest, OversizedOrEndlessInputIsRefusedBeforeItIsBuilt)
{
    // A sparse file: its size is told without writing it.
    const fs::path huge = m_dir / "huge.kws";
    writeFile(huge, "<properties name='a'/>");
    fs::resize_file(huge, (64 << 20) + 1);
    {
        Testing::LogExpectation expect(Log::Error, huge.string() + ": 67108865 bytes, more than", 1);
        EXPECT_EQ(Properties::loadFromXmlFile(huge.string()), nullptr);
    }
    // Opening a pipe that nobody writes would wait for ever.
    const fs::path pipe = m_dir / "pipe.xml";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    {
        Testing::LogExpectation expect(Log::Error, pipe.string() + ": cannot open: a pipe", 1);
        EXPECT_EQ(Properties::loadFromXmlFile(pipe.string()), nullptr);
    }
    // Small text of many tiny elements would build a tree many times its size.
    std::string many = "<properties name=''>";
    for (int i = 0; i < PropertiesXml::maxElements; ++i)
        many += "<properties name=''/>";
    EXPECT_NE(refusal(many + "</properties>").find("more than 50000 elements"), std::string::npos);
}
