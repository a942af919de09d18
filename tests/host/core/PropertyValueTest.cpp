#include "core/PropertyValue.h"

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
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

double fromBits(uint64_t bits)
{
    double d = 0;
    std::memcpy(&d, &bits, sizeof d);
    return d;
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

TEST(PropertyValueTest, ScalarsRoundTripWithTheirTypes)
{
    EXPECT_EQ(roundTrip(true, ParamTypeBool), true);
    EXPECT_EQ(roundTrip(false, ParamTypeBool), false);
    EXPECT_EQ(roundTrip(std::numeric_limits<int>::min(), ParamTypeInt), std::numeric_limits<int>::min());
    EXPECT_EQ(roundTrip(std::numeric_limits<long long>::max(), ParamTypeInt), std::numeric_limits<long long>::max());
    EXPECT_EQ(roundTrip(std::numeric_limits<unsigned long long>::max(), ParamTypeInt),
              std::numeric_limits<unsigned long long>::max());
    EXPECT_EQ(roundTrip(std::int16_t(-1234), ParamTypeInt), -1234);
    EXPECT_EQ(roundTrip(0.1f, ParamTypeDouble), 0.1f);
    EXPECT_EQ(roundTrip(-2.5, ParamTypeDouble), -2.5);
    EXPECT_EQ(roundTrip(std::string(" a \n b "), ParamTypeString), " a \n b ");
    EXPECT_EQ(roundTrip(std::string(), ParamTypeString), "");
    EXPECT_EQ(roundTrip(Mode::Kalman, ParamTypeEnum), Mode::Kalman);
}

TEST(PropertyValueTest, TextForms)
{
    EXPECT_EQ(PropertyValue<bool>::toText(true), "1");
    EXPECT_EQ(PropertyValue<double>::toText(0.1), "0.1");
    EXPECT_EQ(PropertyValue<double>::toText(1e300), "1e+300");
    EXPECT_EQ(PropertyValue<double>::toText(-0.0), "-0");
    EXPECT_EQ(PropertyValue<double>::toText(3.0), "3");
    EXPECT_EQ(PropertyValue<Mode>::toText(Mode::Average), "1");
    EXPECT_EQ(PropertyValue<Eigen::Vector3d>::toText(Eigen::Vector3d(1, -0.5, 1e-7)), "1 -0.5 1e-07");

    // Matrices are written row by row, whatever their storage order.
    Eigen::Matrix4d m;
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c)
            m(r, c) = r * 10 + c;
    EXPECT_EQ(PropertyValue<Eigen::Matrix4d>::toText(m), "0 1 2 3 10 11 12 13 20 21 22 23 30 31 32 33");
    using RowMajor4d = Eigen::Matrix<double, 4, 4, Eigen::RowMajor>;
    EXPECT_EQ(PropertyValue<RowMajor4d>::toText(RowMajor4d(m)), PropertyValue<Eigen::Matrix4d>::toText(m));
}

TEST(PropertyValueTest, EigenValuesAndOptionalsRoundTrip)
{
    const Eigen::Vector3d v(0.1, -1e300, 5e-324);
    EXPECT_EQ(roundTrip(v, ParamTypeVector), v);
    const Eigen::Vector4d w(1, 2, 3, 4);
    EXPECT_EQ(roundTrip(w, ParamTypeVector), w);
    const Eigen::RowVector2d row(7, 8);
    EXPECT_EQ(roundTrip(row, ParamTypeVector), row);

    std::mt19937 random(42);
    std::uniform_real_distribution<double> uniform(-1000, 1000);
    Eigen::Matrix4d m;
    for (int i = 0; i < 16; ++i)
        m(i) = uniform(random);
    EXPECT_EQ(roundTrip(m, ParamTypeMatrix), m);
    const Eigen::Matrix<double, 2, 3> rect = (Eigen::Matrix<double, 2, 3>() << 1, 2, 3, 4, 5, 6).finished();
    EXPECT_EQ(roundTrip(rect, ParamTypeMatrix), rect);

    EXPECT_EQ(roundTrip(std::optional<double>(), ParamTypeDouble), std::nullopt);
    EXPECT_EQ(roundTrip(std::optional<double>(0.0), ParamTypeDouble), 0.0);
    EXPECT_EQ(roundTrip(std::optional<int>(-3), ParamTypeInt), -3);
    EXPECT_EQ(roundTrip(std::optional<Mode>(Mode::None), ParamTypeEnum), Mode::None);
    EXPECT_EQ(roundTrip(std::optional<Eigen::Vector3d>(Eigen::Vector3d(1, 2, 3)), ParamTypeVector),
              Eigen::Vector3d(1, 2, 3));
    EXPECT_EQ(roundTrip(std::optional<Eigen::Vector3d>(), ParamTypeVector), std::nullopt);
    // An empty optional string and an empty string share the empty text; reading gives the empty optional.
    EXPECT_EQ(roundTrip(std::optional<std::string>(""), ParamTypeString), std::nullopt);

    // A set optional is replaced by an empty one when the text is empty, and kept when the text is bad.
    Properties p;
    p.setParam("empty", std::string());
    p.setParam("bad", std::string("x"));
    std::optional<double> value = 4.0;
    EXPECT_FALSE(p.param("bad", value));
    EXPECT_EQ(value, 4.0);
    EXPECT_TRUE(p.param("empty", value));
    EXPECT_EQ(value, std::nullopt);
}

TEST(PropertyValueTest, DoublesSurviveBitExactly)
{
    const double specials[] = { 0.1,
                                1e300,
                                -0.0,
                                0.0,
                                1.0 / 3.0,
                                0.30000000000000004,
                                std::numeric_limits<double>::denorm_min(),
                                -std::numeric_limits<double>::denorm_min(),
                                std::numeric_limits<double>::min(),
                                std::numeric_limits<double>::min() * (1 - 1e-16),
                                std::numeric_limits<double>::max(),
                                std::numeric_limits<double>::lowest(),
                                std::numeric_limits<double>::epsilon(),
                                9007199254740993.0,
                                std::numeric_limits<double>::infinity(),
                                -std::numeric_limits<double>::infinity() };
    for (double d : specials)
        EXPECT_EQ(bitsOf(roundTrip(d, ParamTypeDouble)), bitsOf(d)) << PropertyValue<double>::toText(d);

    std::mt19937_64 random(20240611);
    int nans = 0;
    for (int i = 0; i < 20000; ++i)
    {
        const double d = fromBits(random());
        const double read = roundTrip(d, ParamTypeDouble);
        if (std::isnan(d))
        {
            ++nans;
            EXPECT_TRUE(std::isnan(read));
            EXPECT_EQ(std::signbit(read), std::signbit(d));
        }
        else
            ASSERT_EQ(bitsOf(read), bitsOf(d)) << PropertyValue<double>::toText(d);
    }
    // Random exponents hit the NaN range about once in 2048 draws; make sure the branch above ran.
    EXPECT_GT(nans, 0);

    EXPECT_TRUE(std::isnan(roundTrip(std::numeric_limits<double>::quiet_NaN(), ParamTypeDouble)));
}

TEST(PropertyValueTest, IncompleteOrInvalidTextIsRefused)
{
    bool b = false;
    EXPECT_TRUE(PropertyText::fromText("true", b) && b);
    EXPECT_TRUE(PropertyText::fromText("0", b) && !b);
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
}

TEST(PropertyValueTest, ParamOrFallsBackWhenAbsentOrUnconvertible)
{
    Properties p;
    p.setParam("count", 3);
    p.setParam("name", std::string("three"));
    EXPECT_EQ(p.paramOr("count", 0), 3);
    EXPECT_EQ(p.paramOr("missing", 11), 11);
    EXPECT_EQ(p.paramOr("name", 12), 12);
    EXPECT_EQ(p.paramOr<std::string>("count", "x"), "3");
    EXPECT_DOUBLE_EQ(p.paramOr("count", 0.5), 3.0) << "an int reads as a double";
}
