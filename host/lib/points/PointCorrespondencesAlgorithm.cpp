#include "lib/points/PointCorrespondencesAlgorithm.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "core/Log.h"
#include "lib/DataList.h"
#include "lib/SharedImageSet.h"
#include "lib/points/PointCorrespondences.h"
#include "lib/points/PointsOnImage.h"
#include "lib/points/PointsStorageComponent.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "PointCorrespondencesAlgorithm";
const char* const kSetName = "PointCorrespondences";

template<typename Factory>
struct Prioritised
{
    int priority;
    Factory factory;
};

/// The factories sorted by decreasing priority; a stable insertion keeps equal priorities in the order added.
template<typename Factory>
void insertByPriority(std::vector<Prioritised<Factory>>& list, Factory factory, int priority)
{
    const auto at = std::find_if(list.begin(), list.end(), [priority](const auto& e) { return e.priority < priority; });
    list.insert(at, Prioritised<Factory>{ priority, std::move(factory) });
}

std::shared_ptr<PointsOnData> pointsOnImage(Data& data, const std::string& name)
{
    auto* image = dynamic_cast<SharedImageSet*>(&data);
    if (!image)
        return nullptr;
    auto& storage = image->components().getOrAdd<PointsStorageComponent>();
    return storage.getOrCreate<PointsOnImage>(name, [image] { return std::make_shared<PointsOnImage>(*image); });
}

/// True when the std::function holds exactly `function` (a lambda or another function never matches).
template<typename Function, typename Wrapper>
bool wraps(const Wrapper& wrapper, Function function)
{
    const auto* target = wrapper.template target<Function>();
    return target && *target == function;
}

template<typename Function, typename Factory>
void eraseWrapping(std::vector<Prioritised<Factory>>& list, Function function)
{
    list.erase(
      std::remove_if(list.begin(), list.end(), [function](const auto& e) { return wraps(e.factory, function); }),
      list.end());
}

struct Registries
{
    Registries()
    {
        insertByPriority(pointsFactories, PointCorrespondencesAlgorithm::PointsOnDataFactory(&pointsOnImage), 0);
    }

    std::mutex mutex;
    std::vector<Prioritised<PointCorrespondencesAlgorithm::PointsOnDataFactory>> pointsFactories;
    std::vector<Prioritised<PointCorrespondencesAlgorithm::ManipulatorFactory>> manipulatorFactories;
};

Registries& registries()
{
    static Registries instance;
    return instance;
}
} // namespace

std::vector<PointCorrespondencesAlgorithm::CompatibilityCheck>& PointCorrespondencesAlgorithm::getCompatibilityChecks()
{
    static std::vector<CompatibilityCheck> checks{ [](const Data& data)
                                                   { return dynamic_cast<const SharedImageSet*>(&data) != nullptr; } };
    return checks;
}

bool PointCorrespondencesAlgorithm::isCompatible(const Data& data)
{
    const auto& checks = getCompatibilityChecks();
    return std::any_of(checks.begin(), checks.end(), [&data](const auto& check) { return check && check(data); });
}

void PointCorrespondencesAlgorithm::addPointsOnDataFactory(PointsOnDataFactory factory, int priority)
{
    if (!factory)
    {
        Log::log(Log::Warning, kCategory, "addPointsOnDataFactory: a null factory was refused");
        return;
    }
    Registries& r = registries();
    std::lock_guard<std::mutex> lock(r.mutex);
    insertByPriority(r.pointsFactories, std::move(factory), priority);
}

std::shared_ptr<PointsOnData> PointCorrespondencesAlgorithm::createPointsOnData(Data& data, const std::string& name)
{
    std::vector<PointsOnDataFactory> factories;
    {
        Registries& r = registries();
        std::lock_guard<std::mutex> lock(r.mutex);
        for (const auto& entry : r.pointsFactories)
            factories.push_back(entry.factory);
    }
    for (const auto& factory : factories)
        if (auto points = factory(data, name))
            return points;
    return nullptr;
}

void PointCorrespondencesAlgorithm::addManipulatorFactory(ManipulatorFactory factory, int priority)
{
    if (!factory)
    {
        Log::log(Log::Warning, kCategory, "addManipulatorFactory: a null factory was refused");
        return;
    }
    Registries& r = registries();
    std::lock_guard<std::mutex> lock(r.mutex);
    insertByPriority(r.manipulatorFactories, std::move(factory), priority);
}

std::vector<PointCorrespondencesAlgorithm::ManipulatorFactory> PointCorrespondencesAlgorithm::manipulatorFactories()
{
    Registries& r = registries();
    std::lock_guard<std::mutex> lock(r.mutex);
    std::vector<ManipulatorFactory> result;
    for (const auto& entry : r.manipulatorFactories)
        result.push_back(entry.factory);
    return result;
}

void PointCorrespondencesAlgorithm::removeCompatibilityCheck(CompatibilityCheckFunction check)
{
    auto& checks = getCompatibilityChecks();
    checks.erase(std::remove_if(checks.begin(), checks.end(), [check](const auto& c) { return wraps(c, check); }),
                 checks.end());
}

void PointCorrespondencesAlgorithm::removePointsOnDataFactory(PointsOnDataFactoryFunction factory)
{
    Registries& r = registries();
    std::lock_guard<std::mutex> lock(r.mutex);
    eraseWrapping(r.pointsFactories, factory);
}

void PointCorrespondencesAlgorithm::removeManipulatorFactory(ManipulatorFactoryFunction factory)
{
    Registries& r = registries();
    std::lock_guard<std::mutex> lock(r.mutex);
    eraseWrapping(r.manipulatorFactories, factory);
}

bool PointCorrespondencesAlgorithm::createCompatible(const DataList& data, std::unique_ptr<Algorithm>* algorithm)
{
    if (data.size() != 2 || !isCompatible(*data[0]) || !isCompatible(*data[1]))
        return false;
    auto created = std::make_unique<PointCorrespondencesAlgorithm>(*data[0], *data[1]);
    if (!created->pointCorrespondences())
        return false;
    if (algorithm)
        *algorithm = std::move(created);
    return true;
}

PointCorrespondencesAlgorithm::PointCorrespondencesAlgorithm(Data& fixed, Data& moving) : m_moving(moving)
{
    auto fixedPoints = createPointsOnData(fixed, kSetName);
    auto movingPoints = createPointsOnData(moving, kSetName);
    if (fixedPoints && movingPoints)
        m_correspondences = std::make_unique<PointCorrespondences>(std::move(fixedPoints), std::move(movingPoints));
}

PointCorrespondencesAlgorithm::~PointCorrespondencesAlgorithm() = default;

void PointCorrespondencesAlgorithm::compute()
{
    setStatus(Unknown);
    if (!m_correspondences)
    {
        Log::log(Log::Error, kCategory, "No point sets for the data: nothing to register");
        setStatus(Error);
        return;
    }
    const int pairs = m_correspondences->size();
    if (pairs < 3)
    {
        Log::logf(Log::Error, kCategory, "Need at least 3 point correspondences for registration, got {}", pairs);
        setStatus(StatusUnusablePoints);
        return;
    }
    const auto fit = m_correspondences->fit();
    if (!fit)
    {
        Log::log(Log::Error, kCategory,
                 "Registration failed: the point pairs do not determine a rigid transform; nothing was changed");
        setStatus(StatusUnusablePoints);
        return;
    }
    m_transform = fit->transform;
    m_registrationError = fit->fre;
    m_moving.setMatrix(m_moving.matrix() * fit->transform);
    Log::logf(Log::Info, kCategory,
              "Registration error: {:.3f} mm over {} pairs; predicted target error at their "
              "centroid: {:.3f} mm",
              fit->fre, pairs, fit->predictedTreAtCentroid().value_or(0.0));
    setStatus(Success);
    signalOutputChanged.emitSignal();
}

} // namespace Kelvaros
