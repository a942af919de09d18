#include "core/Configurable.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>
#include <gtest/gtest.h>

#include "core/Parameter.h"
#include "core/Properties.h"

using namespace Kelvaros;

namespace
{
enum class SmoothingMode
{
    None = 0,
    WeightedAverage = 1,
    Kalman = 2
};

/// Parameters as members of a derived class, as the plug-in declares them.
class Filter : public Configurable
{
public:
    Filter()
    {
        p_interval.setAttribute("min", "1");
        p_interval.setAttribute("max", "100");
        p_mode.setAttribute("values", "None, Weighted Avergage, Kalman Filter");
    }

    Parameter<bool> p_enabled{ "enabled", true, this };
    Parameter<int> p_interval{ "smoothingInterval", 5, this };
    Parameter<double> p_sigma{ "processSigma", 0.25, this };
    Parameter<std::string> p_name{ "name", "filter", this };
    Parameter<SmoothingMode> p_mode{ "smoothingMode", SmoothingMode::Kalman, this };
    Parameter<Eigen::Vector3d> p_offset{ "offset", Eigen::Vector3d(0, 0, 1), this };
    Parameter<std::optional<double>> p_limit{ "limit", std::nullopt, this };
};

} // namespace

TEST(ConfigurableTest, ConfigurationRoundTripsThroughConfigure)
{
    Filter source;
    source.p_enabled = false;
    source.p_interval = 17;
    source.p_name = "  spaced\nname ";
    source.p_mode = SmoothingMode::WeightedAverage;
    source.p_offset = Eigen::Vector3d(1e-9, -3, 1e9);
    source.p_limit = -0.0;
    Properties p;
    source.configuration(&p);
    EXPECT_EQ(p.paramType("smoothingMode"), ParamTypeEnum);
    EXPECT_EQ(p.paramAttributes("smoothingInterval"), "max: 100, min: 1");

    Filter target;
    target.configure(&p);
    Properties again;
    target.configuration(&again);
    EXPECT_EQ(again, p);
}

TEST(ConfigurableTest, ConfigureLeavesAbsentAndUnreadableKeys)
{
    Filter f;
    f.p_sigma = 0.5;
    Properties p;
    p.setParam("smoothingInterval", std::string("many"));
    p.setParam("offset", std::string("1 2"));
    p.setParam("name", std::string("other"));
    p.setParam("unrelated", 3);
    f.configure(&p);
    EXPECT_EQ(f.p_interval.value(), 5);
    EXPECT_EQ(f.p_offset.value(), Eigen::Vector3d(0, 0, 1));
    EXPECT_EQ(f.p_sigma.value(), 0.5);
    EXPECT_EQ(f.p_name.value(), "other");

    // An empty text clears an optional.
    f.p_limit = 2.0;
    Properties clear;
    clear.setParam("limit", std::string());
    f.configure(&clear);
    EXPECT_EQ(f.p_limit.value(), std::nullopt);

    f.configure(nullptr);
    f.configuration(nullptr);
    EXPECT_EQ(f.p_name.value(), "other");
}

TEST(ConfigurableTest, ChangeSignalsFireOncePerRealChange)
{
    Filter f;
    std::vector<int> values;
    std::vector<std::string> owner;
    f.p_interval.signalValueChanged.connect([&](int v) { values.push_back(v); });
    f.signalParametersChanged.connect([&](ParameterBase* p) { owner.push_back(p->name()); });
    f.p_interval = 5; // the default: no change
    f.p_interval = 6;
    f.p_interval = 6;
    Properties p;
    f.configuration(&p);
    f.configure(&p); // same values: nothing changes
    f.p_sigma = 1.0;
    f.configureDefaults();
    f.configureDefaults();
    EXPECT_EQ(f.p_sigma.value(), 0.25);
    EXPECT_EQ(values, (std::vector<int>{ 6, 5 }));
    EXPECT_EQ(owner,
              (std::vector<std::string>{ "smoothingInterval", "processSigma", "smoothingInterval", "processSigma" }));

    // NaN compares unequal to itself, but its text does not change: no signal.
    Parameter<double> nan("nan", std::numeric_limits<double>::quiet_NaN());
    int nanChanges = 0;
    nan.signalChanged.connect([&](ParameterBase*) { ++nanChanges; });
    nan = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(nanChanges, 0);
}

TEST(ConfigurableTest, RegistrationFollowsParameterLifetimes)
{
    auto f = std::make_unique<Filter>();
    {
        Parameter<int> extra("extra", 1, f.get());
        f->registerParameter(&extra);
        EXPECT_EQ(f->parameters().size(), 8u) << "registering twice has no effect";
    }
    EXPECT_EQ(f->parameter("extra"), nullptr);

    // A parameter that outlives its owner must not call into it.
    auto survivor = std::make_unique<Parameter<int>>("survivor", 0, f.get());
    f.reset();
    *survivor = 9;
    survivor.reset();
}
