#include "core/Configurable.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
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
        p_interval.setLabel("Smoothing interval");
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

/// Counts each kind of change notification.
struct Counters
{
    explicit Counters(Filter& f)
    {
        f.p_interval.signalValueChanged.connect([this](int v) { values.push_back(v); });
        f.p_interval.signalChanged.connect([this](ParameterBase*) { ++changed; });
        f.signalParametersChanged.connect([this](ParameterBase* p) { owner.push_back(p->name()); });
    }
    std::vector<int> values;
    int changed = 0;
    std::vector<std::string> owner;
};
} // namespace

TEST(ConfigurableTest, ConfigurationWritesEveryParameter)
{
    Filter f;
    EXPECT_EQ(f.parameters().size(), 7u);
    f.p_interval = 10;
    f.p_limit = 3.5;
    Properties p;
    f.configuration(&p);
    EXPECT_EQ(p.params(), (std::vector<std::string>{ "enabled", "smoothingInterval", "processSigma", "name",
                                                     "smoothingMode", "offset", "limit" }));
    EXPECT_EQ(p.paramText("smoothingInterval"), "10");
    int d = 0;
    EXPECT_TRUE(p.paramDefault("smoothingInterval", d));
    EXPECT_EQ(d, 5);
    EXPECT_EQ(p.paramType("smoothingMode"), 8);
    EXPECT_EQ(p.paramText("smoothingMode"), "2");
    EXPECT_EQ(p.paramType("offset"), ParamTypeVector);
    EXPECT_EQ(p.paramType("limit"), ParamTypeDouble);
    EXPECT_EQ(p.paramType("name"), ParamTypeString);
    EXPECT_EQ(p.paramAttributes("smoothingInterval"), "max: 100, min: 1");
    EXPECT_EQ(Properties::parseAttributes(p.paramAttributes("smoothingMode")).at("values"),
              "None, Weighted Avergage, Kalman Filter");
    EXPECT_EQ(p.paramAttributes("processSigma"), "");
    EXPECT_EQ(p.paramLabel("smoothingInterval"), "Smoothing interval");
    EXPECT_EQ(p.paramLabel("processSigma"), "");
}

TEST(ConfigurableTest, ConfigureReadsWhatConfigurationWrote)
{
    Filter source;
    source.p_enabled = false;
    source.p_interval = 17;
    source.p_sigma = 0.1;
    source.p_name = "  spaced\nname ";
    source.p_mode = SmoothingMode::WeightedAverage;
    source.p_offset = Eigen::Vector3d(1e-9, -3, 1e9);
    source.p_limit = -0.0;
    Properties p;
    source.configuration(&p);

    const auto xml = Properties::fromXml(p.toXml());
    ASSERT_NE(xml, nullptr);
    Filter target;
    target.configure(xml.get());
    Properties again;
    target.configuration(&again);
    EXPECT_EQ(again, p);
    EXPECT_EQ(target.p_mode.value(), SmoothingMode::WeightedAverage);
    EXPECT_EQ(target.p_offset.value(), Eigen::Vector3d(1e-9, -3, 1e9));
    EXPECT_EQ(target.p_limit.value(), 0.0);
    EXPECT_EQ(target.p_name.value(), "  spaced\nname ");
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
    Counters counters(f);
    f.p_interval = 5; // the default: no change
    f.p_interval = 6;
    f.p_interval = 6;
    f.p_interval.setValue(7);
    EXPECT_EQ(counters.values, (std::vector<int>{ 6, 7 }));
    EXPECT_EQ(counters.changed, 2);
    EXPECT_EQ(counters.owner, (std::vector<std::string>{ "smoothingInterval", "smoothingInterval" }));

    Properties p;
    f.configuration(&p);
    f.configure(&p); // same values: nothing changes
    EXPECT_EQ(counters.changed, 2);

    f.p_sigma = 1.0;
    f.configureDefaults();
    EXPECT_EQ(f.p_interval.value(), 5);
    EXPECT_EQ(f.p_sigma.value(), 0.25);
    EXPECT_EQ(counters.values, (std::vector<int>{ 6, 7, 5 }));
    EXPECT_EQ(counters.owner, (std::vector<std::string>{ "smoothingInterval", "smoothingInterval", "processSigma",
                                                         "smoothingInterval", "processSigma" }));
    f.configureDefaults();
    EXPECT_EQ(counters.owner.size(), 5u);

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
        EXPECT_EQ(f->parameters().size(), 8u);
        EXPECT_EQ(f->parameter("extra"), &extra);
        f->registerParameter(&extra);
        EXPECT_EQ(f->parameters().size(), 8u) << "registering twice has no effect";
    }
    EXPECT_EQ(f->parameters().size(), 7u);
    EXPECT_EQ(f->parameter("extra"), nullptr);
    EXPECT_EQ(f->parameter("smoothingMode"), &f->p_mode);

    // A parameter moved to another owner notifies only that one.
    Configurable other;
    Parameter<int> moved("moved", 0, f.get());
    other.registerParameter(&moved);
    EXPECT_EQ(f->parameter("moved"), nullptr);
    EXPECT_EQ(other.parameter("moved"), &moved);
    int otherChanges = 0;
    other.signalParametersChanged.connect([&](ParameterBase*) { ++otherChanges; });
    moved = 3;
    EXPECT_EQ(otherChanges, 1);
    other.unregisterParameter(&moved);
    moved = 4;
    EXPECT_EQ(otherChanges, 1);
    other.unregisterParameter(&moved);

    // A parameter that outlives its owner must not call into it.
    auto survivor = std::make_unique<Parameter<int>>("survivor", 0, f.get());
    f.reset();
    *survivor = 9;
    survivor.reset();
}

TEST(ConfigurableTest, ValuesMayBeReadWhileAnotherThreadWrites)
{
    Filter f;
    f.p_offset = Eigen::Vector3d::Zero();
    std::atomic<bool> stop{ false };
    std::atomic<int> reads{ 0 };
    std::atomic<int> torn{ 0 };
    std::thread reader(
      [&]
      {
          while (!stop)
          {
              const Eigen::Vector3d v = f.p_offset;
              // Each value is written whole: the three coefficients are always equal.
              if (v.x() != v.y() || v.y() != v.z())
                  ++torn;
              ++reads;
          }
      });
    for (int i = 0; i < 100000 && (i < 1000 || reads < 1000); ++i)
        f.p_offset = Eigen::Vector3d::Constant(i);
    stop = true;
    reader.join();
    EXPECT_GT(reads, 0);
    EXPECT_EQ(torn, 0);
}
