#include "lib/RegistrationHistoryComponent.h"

#include <cmath>
#include <ctime>
#include <utility>

#include <fmt/format.h>

#include "core/Log.h"
#include "core/Properties.h"
#include "lib/Data.h"
#include "lib/numerics/Pose.h"

namespace Kelvaros
{

namespace
{
const char* const kNodeName = "registrationHistory";
const char* const kTypeNames[] = { "global tracking", "adjust registration of volume",
                                   "adjust calibration of relative tracker" };

bool finite(double value)
{
    return std::isfinite(value);
}
/// A registration moves rigidly; a volume's matrix may also mirror one axis (a left-handed file). Anything else
/// (non-finite, singular, scaled, absurdly far) would be put in place by a restore, so it is not read.
bool finite(const Eigen::Matrix4d& value)
{
    return Pose::isRigid(value) || Pose::isRigid(value * Eigen::Vector4d(-1.0, 1.0, 1.0, 1.0).asDiagonal());
}
bool finite(int)
{
    return true;
}
bool finite(const std::string&)
{
    return true;
}
template<typename T>
bool finite(const std::optional<T>& value)
{
    return !value || finite(*value);
}

/// Reads the fields of one entry and notes every field that is missing or cannot be read.
class FieldReader
{
public:
    FieldReader(const Properties& node, std::string where, std::vector<std::string>& problems)
      : m_node(node), m_where(std::move(where)), m_problems(problems)
    {
    }

    /// A field that must be present (an optional one may be empty text).
    template<typename T>
    void read(const char* key, T& value)
    {
        if (!m_node.hasParam(key))
            return fail(fmt::format("{} has no field '{}'", m_where, key));
        T read{};
        if (!m_node.param(key, read) || !finite(read))
            return fail(fmt::format("{} field '{}' cannot be read ('{}')", m_where, key, m_node.paramText(key)));
        value = read;
    }

    /// A field that later versions added: absent in older files, read when present.
    template<typename T>
    void readIfPresent(const char* key, T& value)
    {
        if (m_node.hasParam(key))
            read(key, value);
    }

    [[nodiscard]] bool ok() const { return m_ok; }

private:
    void fail(std::string problem)
    {
        m_ok = false;
        m_problems.push_back(std::move(problem));
    }

    const Properties& m_node;
    std::string m_where;
    std::vector<std::string>& m_problems;
    bool m_ok = true;
};

void saveProvenance(const RegistrationHistoryComponent::Provenance& provenance, Properties& node)
{
    node.setParam("dateTime", provenance.dateTime);
    node.setParam("pairCount", provenance.pairCount);
    node.setParam("freMm", provenance.freMm);
    node.setParam("expectedFleMm", provenance.expectedFleMm);
    node.setParam("fleUsedMm", provenance.fleUsedMm);
    node.setParam("fleSource", provenance.fleSource);
    node.setParam("predictedTreMm", provenance.predictedTreMm);
    node.setParam("registrationType", provenance.registrationType);
    node.setParam("verdict", provenance.verdict);
    node.setParam("verdictText", provenance.verdictText);
    node.setParam("uncalibratedPointCount", provenance.uncalibratedPointCount);
    // Left out for landmarks, so that their entries stay as files have always held them.
    if (!provenance.method.empty())
        node.setParam("method", provenance.method);
}

void loadProvenance(FieldReader& fields, RegistrationHistoryComponent::Provenance& provenance)
{
    fields.read("dateTime", provenance.dateTime);
    fields.read("pairCount", provenance.pairCount);
    fields.read("freMm", provenance.freMm);
    fields.read("expectedFleMm", provenance.expectedFleMm);
    fields.read("fleUsedMm", provenance.fleUsedMm);
    fields.read("fleSource", provenance.fleSource);
    fields.read("predictedTreMm", provenance.predictedTreMm);
    fields.read("registrationType", provenance.registrationType);
    fields.read("verdict", provenance.verdict);
    fields.read("verdictText", provenance.verdictText);
    fields.read("uncalibratedPointCount", provenance.uncalibratedPointCount);
    fields.readIfPresent("method", provenance.method);
}

void saveEntry(const RegistrationHistoryComponent::Entry& entry, Properties& node)
{
    if (entry.provenance)
        saveProvenance(*entry.provenance, *node.addSubProperties("provenance"));
    node.setParam("volumeMatrix", entry.state.volumeMatrix);
    node.setParam("streamMatrix", entry.state.streamMatrix);
    if (const auto& calibration = entry.state.calibration)
    {
        Properties* saved = node.addSubProperties("calibration");
        saved->setParam("instrumentId", calibration->instrumentId);
        saved->setParam("matrix", calibration->matrix);
        saved->setParam("value", calibration->value);
    }
}

/// The entry under `name`, if `node` has one and every field of it can be read.
std::optional<RegistrationHistoryComponent::Entry> loadEntry(const Properties& node, const char* name,
                                                             std::vector<std::string>& problems)
{
    const Properties* saved = node.subProperties(name);
    if (!saved)
        return std::nullopt;
    const std::size_t before = problems.size();
    RegistrationHistoryComponent::Entry entry;
    FieldReader fields(*saved, fmt::format("the {} registration", name), problems);
    fields.read("volumeMatrix", entry.state.volumeMatrix);
    fields.read("streamMatrix", entry.state.streamMatrix);
    if (const Properties* provenance = saved->subProperties("provenance"))
    {
        FieldReader provenanceFields(*provenance, fmt::format("the provenance of the {} registration", name), problems);
        // Not emplace(): clang judges these nested aggregates not default-constructible inside std::optional.
        loadProvenance(provenanceFields, entry.provenance.emplace(RegistrationHistoryComponent::Provenance{}));
    }
    if (const Properties* calibration = saved->subProperties("calibration"))
    {
        FieldReader calibrationFields(*calibration, fmt::format("the calibration of the {} registration", name),
                                      problems);
        auto& state = entry.state.calibration.emplace(RegistrationHistoryComponent::CalibrationState{});
        calibrationFields.read("instrumentId", state.instrumentId);
        calibrationFields.read("matrix", state.matrix);
        calibrationFields.read("value", state.value);
    }
    if (problems.size() == before)
        return entry;
    problems.back() += fmt::format("; the {} registration was dropped", name);
    return std::nullopt;
}

template<typename T>
std::string optionalMm(const char* label, const std::optional<T>& value)
{
    return value ? fmt::format(", {} {:.2f} mm", label, *value) : std::string();
}
} // namespace

RegistrationHistoryComponent::RegistrationHistoryComponent(const RegistrationHistoryComponent& other)
  : DataComponentBase<RegistrationHistoryComponent>(other)
{
    std::lock_guard<std::mutex> lock(other.m_mutex);
    m_current = other.m_current;
    m_previous = other.m_previous;
}

RegistrationHistoryComponent& RegistrationHistoryComponent::operator=(const RegistrationHistoryComponent& other)
{
    if (this == &other)
        return *this;
    // Copy under the source's lock only, then swap in under ours: never holding both avoids a lock-order inversion.
    std::optional<Entry> current;
    std::optional<Entry> previous;
    {
        std::lock_guard<std::mutex> lock(other.m_mutex);
        current = other.m_current;
        previous = other.m_previous;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current.swap(current);
    m_previous.swap(previous);
    return *this;
}

RegistrationHistoryComponent::~RegistrationHistoryComponent() = default;

void RegistrationHistoryComponent::record(const Provenance& provenance, const State& before, const State& after)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_previous = Entry{ m_current ? m_current->provenance : std::nullopt, before };
    m_current = Entry{ provenance, after };
}

std::optional<RegistrationHistoryComponent::Entry> RegistrationHistoryComponent::current() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_current;
}

std::optional<RegistrationHistoryComponent::Entry> RegistrationHistoryComponent::previous() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_previous;
}

std::optional<RegistrationHistoryComponent::State> RegistrationHistoryComponent::restorePrevious()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_previous || !m_current)
        return std::nullopt;
    std::swap(m_current, m_previous);
    return m_current->state;
}

void RegistrationHistoryComponent::save(Properties& node) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_current)
        saveEntry(*m_current, *node.addSubProperties("current"));
    if (m_previous)
        saveEntry(*m_previous, *node.addSubProperties("previous"));
}

std::vector<std::string> RegistrationHistoryComponent::load(const Properties& node)
{
    std::vector<std::string> problems;
    std::optional<Entry> current = loadEntry(node, "current", problems);
    std::optional<Entry> previous = loadEntry(node, "previous", problems);
    // A previous entry without the current one would be restored over a registration that is not the one it
    // belongs to.
    if (previous && !current)
    {
        problems.push_back("the previous registration has no current one to go back from; it was dropped");
        previous.reset();
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_current = std::move(current);
    m_previous = std::move(previous);
    return problems;
}

void RegistrationHistoryComponent::saveTo(const Data& data, Properties& node)
{
    if (const auto* history = data.components().get<RegistrationHistoryComponent>())
        history->save(*node.addSubProperties(kNodeName));
}

std::vector<std::string> RegistrationHistoryComponent::loadInto(const Properties& node, Data& data)
{
    const Properties* saved = node.subProperties(kNodeName);
    if (!saved)
        return {};
    std::vector<std::string> problems = data.components().getOrAdd<RegistrationHistoryComponent>().load(*saved);
    for (const std::string& problem : problems)
        Log::logf(Log::Warning, "RegistrationHistory", "Registration history of '{}': {}", data.name(), problem);
    return problems;
}

std::string RegistrationHistoryComponent::nowIso8601()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[40] = {};
    // %z gives "+0100"; ISO 8601's extended format wants "+01:00".
    const std::size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S%z", &local);
    std::string result(text, length);
    if (result.size() >= 5)
        result.insert(result.size() - 2, ":");
    return result;
}

bool RegistrationHistoryComponent::Provenance::operator==(const Provenance& other) const
{
    return dateTime == other.dateTime && pairCount == other.pairCount && freMm == other.freMm &&
           expectedFleMm == other.expectedFleMm && fleUsedMm == other.fleUsedMm && fleSource == other.fleSource &&
           predictedTreMm == other.predictedTreMm && registrationType == other.registrationType &&
           verdict == other.verdict && verdictText == other.verdictText &&
           uncalibratedPointCount == other.uncalibratedPointCount && method == other.method;
}

std::string RegistrationHistoryComponent::Provenance::summary() const
{
    if (method == kSurfaceMethod)
        return fmt::format("{}: surface refinement, {} points, RMS distance {:.2f} mm, {}", dateTime, pairCount, freMm,
                           verdict);
    const bool known = registrationType >= 0 && registrationType < 3;
    std::string text = fmt::format("{}: {}, {} pairs, FRE {:.2f} mm{}, localisation error {:.2f} mm ({}), {}", dateTime,
                                   known ? kTypeNames[registrationType] : "unknown type", pairCount, freMm,
                                   optionalMm("predicted error at the landmarks' centroid", predictedTreMm), fleUsedMm,
                                   fleSource, verdict);
    if (uncalibratedPointCount > 0)
        text += fmt::format(", {} of its tracked points captured with an uncalibrated pointer", uncalibratedPointCount);
    return text;
}

bool RegistrationHistoryComponent::CalibrationState::operator==(const CalibrationState& other) const
{
    return instrumentId == other.instrumentId && matrix == other.matrix && value == other.value;
}

bool RegistrationHistoryComponent::State::operator==(const State& other) const
{
    return volumeMatrix == other.volumeMatrix && streamMatrix == other.streamMatrix && calibration == other.calibration;
}

bool RegistrationHistoryComponent::Entry::operator==(const Entry& other) const
{
    return provenance == other.provenance && state == other.state;
}

} // namespace Kelvaros
