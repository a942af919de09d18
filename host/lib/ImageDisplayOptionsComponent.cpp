#include "lib/ImageDisplayOptionsComponent.h"

#include <algorithm>
#include <cmath>
#include <typeinfo>

#include <fmt/format.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{
const ImageDisplayOptionsComponent::Preset kSoftTissue{ "Soft tissue", 400, 40 };

constexpr const char* kNodeName = "displayOptions";
constexpr double kMinimumWindow = 1e-6;
constexpr size_t kMaximumSamples = size_t(1) << 16;

std::vector<float> finiteSubsample(const std::vector<float>& voxels)
{
    const size_t stride = std::max<size_t>(1, (voxels.size() + kMaximumSamples - 1) / kMaximumSamples);
    std::vector<float> samples;
    samples.reserve(voxels.size() / stride + 1);
    for (size_t i = 0; i < voxels.size(); i += stride)
        if (std::isfinite(voxels[i]))
            samples.push_back(voxels[i]);
    return samples;
}

float nthValue(std::vector<float>& samples, double fraction)
{
    const auto index = std::ptrdiff_t(std::lround(fraction * double(samples.size() - 1)));
    std::nth_element(samples.begin(), samples.begin() + index, samples.end());
    return samples[size_t(index)];
}

std::pair<double, double> spanning(double low, double high)
{
    return high > low ? std::pair(high - low, 0.5 * (high + low)) : std::pair(1.0, low);
}

/// Reads a number key; absent keeps `value`, unreadable or refused by `valid` adds a problem.
template<typename Valid>
void readNumber(const Properties& node, const std::string& key, const char* expected, double& value, Valid valid,
                std::vector<std::string>& problems)
{
    if (!node.hasParam(key))
        return;
    double read = 0.0;
    if (node.param(key, read) && valid(read))
        value = read;
    else
        problems.push_back(fmt::format("the {} '{}' is not {}; it was left at {:g}", key,
                                       node.paramText(key).substr(0, 40), expected, value));
}
} // namespace

ImageDisplayOptionsComponent::ImageDisplayOptionsComponent(const ImageDisplayOptionsComponent& other)
  : DataComponent(other),
    m_window(other.m_window),
    m_level(other.m_level),
    m_autoWindow(other.m_autoWindow),
    m_autoLevel(other.m_autoLevel),
    m_visible(other.m_visible),
    m_opacity(other.m_opacity),
    m_colorMap(other.m_colorMap)
{
}

ImageDisplayOptionsComponent::~ImageDisplayOptionsComponent() = default;

std::unique_ptr<DataComponent> ImageDisplayOptionsComponent::cloneDerived() const
{
    return std::make_unique<ImageDisplayOptionsComponent>(*this);
}

bool ImageDisplayOptionsComponent::assign(const DataComponent& other)
{
    if (typeid(other) != typeid(ImageDisplayOptionsComponent))
        return false;
    const auto& options = static_cast<const ImageDisplayOptionsComponent&>(other);
    // One notification for the whole change: views redraw once.
    signalChanged.setBlocked(true);
    const ImageDisplayOptionsComponent before(*this);
    m_autoWindow = options.m_autoWindow;
    m_autoLevel = options.m_autoLevel;
    setWindowLevel(options.m_window, options.m_level);
    setVisible(options.m_visible);
    setOpacity(options.m_opacity);
    setColorMap(options.m_colorMap);
    signalChanged.setBlocked(false);
    if (before.m_window != m_window || before.m_level != m_level || before.m_visible != m_visible ||
        before.m_opacity != m_opacity || before.m_colorMap != m_colorMap)
        signalChanged.emitSignal();
    return true;
}

void ImageDisplayOptionsComponent::setWindowLevel(double window, double level)
{
    if (!std::isfinite(window) || !std::isfinite(level))
        return;
    const bool changed = m_window != std::max(window, kMinimumWindow) || m_level != level;
    m_window = std::max(window, kMinimumWindow);
    m_level = level;
    if (changed)
        signalChanged.emitSignal();
}

void ImageDisplayOptionsComponent::setVisible(bool visible)
{
    store(m_visible, visible);
}

void ImageDisplayOptionsComponent::setOpacity(double opacity)
{
    if (!std::isnan(opacity))
        store(m_opacity, std::clamp(opacity, 0.0, 1.0));
}

void ImageDisplayOptionsComponent::setColorMap(int colorMap)
{
    store(m_colorMap, std::clamp(colorMap, int(Grey), int(Rainbow)));
}

const std::vector<std::string>& ImageDisplayOptionsComponent::colorMapNames()
{
    static const std::vector<std::string> names = { "Grey", "Hot", "Cool", "Rainbow" };
    return names;
}

std::vector<ImageDisplayOptionsComponent::Preset> ImageDisplayOptionsComponent::presets(const SharedImageSet& set) const
{
    std::vector<Preset> all = { { "Auto", m_autoWindow, m_autoLevel } };
    if (set.modality() == Data::Modality::CT)
        all.insert(all.end(), { kSoftTissue, { "Bone", 1800, 400 }, { "Lung", 1500, -600 } });
    return all;
}

ImageDisplayOptionsComponent& ImageDisplayOptionsComponent::of(SharedImageSet& set)
{
    if (auto* existing = set.components().get<ImageDisplayOptionsComponent>())
        return *existing;
    auto options = std::make_unique<ImageDisplayOptionsComponent>();
    std::tie(options->m_autoWindow, options->m_autoLevel) = percentileWindowLevel(set);
    options->m_window = options->m_autoWindow;
    options->m_level = options->m_autoLevel;
    // A CT is mostly air and soft tissue, so its percentiles span the two and show every organ, and a lesion or
    // target inside one, equally white; a soft-tissue window shows them apart, as a CT viewer opens it.
    if (set.modality() == Data::Modality::CT)
        std::tie(options->m_window, options->m_level) = std::pair(kSoftTissue.window, kSoftTissue.level);
    return static_cast<ImageDisplayOptionsComponent&>(*set.components().add(std::move(options)));
}

std::pair<double, double> ImageDisplayOptionsComponent::percentileWindowLevel(const SharedImageSet& set)
{
    if (set.numImages() == 0)
        return { 1.0, 0.5 };
    std::vector<float> samples = finiteSubsample(set.voxels(set.selectedImage()));
    if (samples.empty())
        return { 1.0, 0.5 };
    const double low = nthValue(samples, 0.01);
    const double high = nthValue(samples, 0.99);
    if (high > low)
        return spanning(low, high);
    const auto [min, max] = std::minmax_element(samples.begin(), samples.end());
    return spanning(*min, *max);
}

void ImageDisplayOptionsComponent::save(Properties& node) const
{
    node.setParam("window", m_window);
    node.setParam("level", m_level);
    node.setParam("visible", m_visible);
    node.setParam("opacity", m_opacity);
    node.setParam("colorMap", colorMapNames()[size_t(m_colorMap)]);
}

std::vector<std::string> ImageDisplayOptionsComponent::load(const Properties& node)
{
    std::vector<std::string> problems;
    double window = m_window;
    double level = m_level;
    double opacity = m_opacity;
    const auto finite = [](double v) { return std::isfinite(v); };
    readNumber(
      node, "window", "a positive number", window, [](double v) { return std::isfinite(v) && v > 0; }, problems);
    readNumber(node, "level", "a number", level, finite, problems);
    readNumber(
      node, "opacity", "a number from 0 to 1", opacity, [](double v) { return v >= 0 && v <= 1; }, problems);
    bool visible = m_visible;
    if (node.hasParam("visible") && !node.param("visible", visible))
        problems.push_back(fmt::format("'{}' does not say whether it is visible; it was left visible",
                                       node.paramText("visible").substr(0, 40)));
    int colorMap = m_colorMap;
    if (node.hasParam("colorMap"))
    {
        const auto& names = colorMapNames();
        const auto found = std::find(names.begin(), names.end(), node.paramText("colorMap"));
        if (found == names.end())
            problems.push_back(fmt::format("there is no colour map '{}'; it was left {}",
                                           node.paramText("colorMap").substr(0, 40), names[size_t(m_colorMap)]));
        else
            colorMap = int(found - names.begin());
    }
    ImageDisplayOptionsComponent read(*this);
    read.m_window = window;
    read.m_level = level;
    read.m_visible = visible;
    read.m_opacity = opacity;
    read.m_colorMap = colorMap;
    assign(read);
    return problems;
}

void ImageDisplayOptionsComponent::saveTo(const Data& data, Properties& node)
{
    if (const auto* options = data.components().get<ImageDisplayOptionsComponent>())
        options->save(*node.addSubProperties(kNodeName));
}

std::vector<std::string> ImageDisplayOptionsComponent::loadInto(const Properties& node, Data& data)
{
    const Properties* saved = node.subProperties(kNodeName);
    auto* set = dynamic_cast<SharedImageSet*>(&data);
    if (!saved || !set)
        return {};
    std::vector<std::string> problems = of(*set).load(*saved);
    for (std::string& problem : problems)
    {
        problem = fmt::format("the display of '{}': {}", data.name(), problem);
        Log::log(Log::Warning, "ImageDisplayOptions", problem);
    }
    return problems;
}

} // namespace Kelvaros
