#include "core/PropertyValue.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <string>

#include <Eigen/Core>
#include <gtest/gtest.h>

#include "core/Properties.h"

using namespace Kelvaros;

namespace
{
enum class Mode
{
    None = 0,
    Average = 1,
    Kalman = 2
};

uint64_t bitsOf(double d)
{
    uint64_t bits = 0;
    std::memcpy(&bits, &d, sizeof d);
    return bits;
}

/// Writes a value into properties and reads it back through the text form.
template<typename T>
T roundTrip(const T& value, int expectedType)
{
    Properties p;
    p.setParam("key", value);
    EXPECT_EQ(p.paramType("key"), expectedType);
    T read{};
    EXPECT_TRUE(p.param("key", read)) << "text: \"" << p.paramText("key") << "\"";
    return read;
}

/// True when the text converts; `value` keeps its sentinel otherwise.
template<typename T>
bool converts(const std::string& text, T sentinel)
{
    Properties p;
    p.setParam("key", text);
    T value = sentinel;
    const bool ok = p.param("key", value);
    if (!ok)
    {
        EXPECT_TRUE(value == sentinel) << "a failed conversion changed the value, text \"" << text << "\"";
    }
    return ok;
}
} // namespace

TEST(PropertyValueTest, ValuesRoundTripWithTheirTypes)
{
    EXPECT_EQ(roundTrip(false, ParamTypeBool), false);
    EXPECT_EQ(roundTrip(std::numeric_limits<int>::min(), ParamTypeInt), std::numeric_limits<int>::min());
    EXPECT_EQ(roundTrip(std::numeric_limits<unsigned long long>::max(), ParamTypeInt),
              std::numeric_limits<unsigned long long>::max());
    EXPECT_EQ(roundTrip(0.1f, ParamTypeDouble), 0.1f);
    EXPECT_EQ(roundTrip(std::string(" a \n b "), ParamTypeString), " a \n b ");
    EXPECT_EQ(roundTrip(Mode::Kalman, ParamTypeEnum), Mode::Kalman);
    const Eigen::Vector3d v(0.1, -1e300, 5e-324);
    EXPECT_EQ(roundTrip(v, ParamTypeVector), v);
    const Eigen::RowVector2d row(7, 8);
    EXPECT_EQ(roundTrip(row, ParamTypeVector), row);
    const Eigen::Matrix<double, 2, 3> rect = (Eigen::Matrix<double, 2, 3>() << 1, 2, 3, 4, 5, 6).finished();
    EXPECT_EQ(roundTrip(rect, ParamTypeMatrix), rect);

    EXPECT_EQ(roundTrip(std::optional<double>(), ParamTypeDouble), std::nullopt);
    EXPECT_EQ(roundTrip(std::optional<double>(0.0), ParamTypeDouble), 0.0);
    EXPECT_EQ(roundTrip(std::optional<Eigen::Vector3d>(), ParamTypeVector), std::nullopt);
    // An empty optional string and an empty string share the empty text; reading gives the empty optional.
    EXPECT_EQ(roundTrip(std::optional<std::string>(""), ParamTypeString), std::nullopt);
}

TEST(PropertyValueTest, TextFormsAreStable)
{
    // Files written before must keep reading as they were: shortest round-trip doubles, matrices row by row.
    EXPECT_EQ(PropertyValue<double>::toText(0.1), "0.1");
    EXPECT_EQ(PropertyValue<Eigen::Vector3d>::toText(Eigen::Vector3d(1, -0.5, 1e-7)), "1 -0.5 1e-07");
    Eigen::Matrix4d m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m(r, c) = r * 10 + c;
    EXPECT_EQ(PropertyValue<Eigen::Matrix4d>::toText(m), "0 1 2 3 10 11 12 13 20 21 22 23 30 31 32 33");
    using RowMajor4d = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
    EXPECT_EQ(PropertyValue<RowMajor4d>::toText(RowMajor4d(m)), PropertyValue<Eigen::Matrix4d>::toText(m));
}

TEST(PropertyValueTest, DoublesSurviveBitExactly)
{
    using L = std::numeric_limits<double>;
    const double specials[] = { -0.0,     0.30000000000000004, -L::denorm_min(),   L::min() * (1 - 1e-16),
                                L::max(), L::lowest(),         9007199254740993.0, -L::infinity() };
    for (double d : specials)
        EXPECT_EQ(bitsOf(roundTrip(d, ParamTypeDouble)), bitsOf(d)) << PropertyValue<double>::toText(d);

    const double nan = roundTrip(-std::numeric_limits<double>::quiet_NaN(), ParamTypeDouble);
    EXPECT_TRUE(std::isnan(nan));
    EXPECT_TRUE(std::signbit(nan));
}

TEST(PropertyValueTest, IncompleteOrInvalidTextIsRefused)
{
    EXPECT_TRUE(converts<bool>("true", false));
    for (const char* text : { "yes", "True", "2", "" })
        EXPECT_FALSE(converts<bool>(text, true)) << text;
    EXPECT_TRUE(converts<int>("-17", 5));
    for (const char* text : { "", " 1", "1 ", "+1", "1.5", "12abc", "abc", "0x10", "3000000000", "1e3" })
        EXPECT_FALSE(converts<int>(text, 5)) << text;
    EXPECT_TRUE(converts<long long>("3000000000", 5));
    EXPECT_FALSE(converts<unsigned long long>("-1", 5u));
    EXPECT_FALSE(converts<std::int16_t>("40000", 5)) << "out of the type's range";
    EXPECT_FALSE(converts<Mode>("Kalman", Mode::Average));

    for (const char* text : { "1e5", "-0", "inf", "-inf", "nan", "5e-324", "1.", ".5" })
        EXPECT_TRUE(converts<double>(text, 7.0)) << text;
    for (const char* text : { "", " 1", "1 ", "+1", "1e400", "1,5", "0.1x", "1e", "--1" })
        EXPECT_FALSE(converts<double>(text, 7.0)) << text;

    const Eigen::Vector3d sentinel(9, 9, 9);
    EXPECT_TRUE(converts<Eigen::Vector3d>("1 2 3", sentinel));
    EXPECT_TRUE(converts<Eigen::Vector3d>("\t1\n2  3 ", sentinel)) << "any white space separates";
    for (const char* text : { "", "1 2", "1 2 3 4", "1 2 x", "1,2,3", "1 2 3x" })
        EXPECT_FALSE(converts<Eigen::Vector3d>(text, sentinel)) << text;
    EXPECT_FALSE(converts<Eigen::Matrix4d>("1 2 3", Eigen::Matrix4d::Identity()));

    // A set optional is replaced by an empty one when the text is empty, and kept when the text is bad.
    EXPECT_FALSE(converts<std::optional<double>>("x", 4.0));
    Properties p;
    p.setParam("empty", std::string());
    std::optional<double> optional = 4.0;
    EXPECT_TRUE(p.param("empty", optional));
    EXPECT_EQ(optional, std::nullopt);
    p.setParam("name", std::string("three"));
    EXPECT_EQ(p.paramOr("name", 12), 12) << "an unconvertible value falls back";
    EXPECT_EQ(p.paramOr("missing", 11), 11);
}
