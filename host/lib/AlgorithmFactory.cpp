#include "lib/AlgorithmFactory.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "core/Log.h"

namespace Kelvaros
{

namespace
{
const char* const kCategory = "AlgorithmFactory";

std::string lastCategoryPiece(const std::string& category)
{
    const size_t separator = category.rfind(';');
    return separator == std::string::npos ? category : category.substr(separator + 1);
}

/// Runs the creation rule in test mode; an exception makes the data unfit.
bool testRule(const AlgorithmFactory::CreationRule& rule, const std::string& id, const DataList& data)
{
    try
    {
        return rule(data, nullptr);
    }
    catch (const std::exception& e)
    {
        Log::log(Log::Error, kCategory, "Cannot test algorithm " + id + ": " + e.what());
    }
    catch (...)
    {
        Log::log(Log::Error, kCategory, "Cannot test algorithm " + id + ": unknown exception");
    }
    return false;
}

std::unique_ptr<Algorithm> createWithRule(const AlgorithmFactory::CreationRule& rule, const std::string& id,
                                          const std::string& displayName,
                                          const std::shared_ptr<const Properties>& preset, const DataList& data)
{
    std::string failure;
    try
    {
        // The rule receives its own copy: it may keep the list, and the caller's selection must not change
        // under it.
        const DataList copy = data;
        std::unique_ptr<Algorithm> algorithm;
        if (!rule(copy, &algorithm))
            return nullptr;
        if (!algorithm)
        {
            failure = "the creation rule accepted the data but built no algorithm";
        }
        else
        {
            algorithm->setFactoryInfo({ id, displayName, data });
            if (preset)
                algorithm->configure(preset.get());
            return algorithm;
        }
    }
    catch (const std::exception& e)
    {
        failure = e.what();
    }
    catch (...)
    {
        failure = "unknown exception";
    }
    Log::log(Log::Error, "", "Cannot create algorithm " + id + ": " + failure);
    return nullptr;
}
} // namespace

std::string AlgorithmFactory::Descriptor::displayName() const
{
    return lastCategoryPiece(category);
}

AlgorithmFactory::AlgorithmFactory(std::string name, bool hidden) : m_name(std::move(name)), m_hidden(hidden) {}

AlgorithmFactory::~AlgorithmFactory() = default;

std::unique_ptr<Algorithm> AlgorithmFactory::instantiateAlgorithm(const std::string& id, const DataList& data) const
{
    const Descriptor* descriptor = algorithmDescriptor(id);
    if (!descriptor)
    {
        Log::logf(Log::Error, kCategory, "Unknown algorithm: {}", id);
        return nullptr;
    }
    std::unique_ptr<Algorithm> algorithm = descriptor->create(data);
    if (!algorithm)
        Log::logf(Log::Warning, kCategory, "Algorithm {} cannot be created on the given data", id);
    return algorithm;
}

std::vector<const AlgorithmFactory::Descriptor*> AlgorithmFactory::compatibleDescriptors(const DataList& data) const
{
    std::vector<const Descriptor*> result;
    for (const auto& front : m_front)
        for (const Descriptor* d : front->compatibleDescriptors(data))
            if (isVisible(d))
                result.push_back(d);
    for (const Descriptor& d : m_descriptors)
        if (d.isCompatible && isVisible(&d) && d.isCompatible(data))
            result.push_back(&d);
    return result;
}

const AlgorithmFactory::Descriptor* AlgorithmFactory::algorithmDescriptor(const std::string& id) const
{
    for (const auto& front : m_front)
        if (const Descriptor* d = front->algorithmDescriptor(id))
            return d;
    return ownDescriptor(id);
}

std::vector<const AlgorithmFactory::Descriptor*> AlgorithmFactory::algorithmDescriptors() const
{
    std::vector<const Descriptor*> result;
    for (const auto& front : m_front)
        for (const Descriptor* d : front->algorithmDescriptors())
            if (isVisible(d))
                result.push_back(d);
    for (const Descriptor& d : m_descriptors)
        if (isVisible(&d))
            result.push_back(&d);
    return result;
}

bool AlgorithmFactory::addAlgorithmFactoryToFront(std::unique_ptr<AlgorithmFactory> factory)
{
    if (!factory)
    {
        Log::log(Log::Error, kCategory, "Cannot add a null algorithm factory to factory " + m_name);
        return false;
    }
    m_front.insert(m_front.begin(), std::move(factory));
    return true;
}

const AlgorithmFactory::Descriptor* AlgorithmFactory::ownDescriptor(const std::string& id) const
{
    auto it =
      std::find_if(m_descriptors.begin(), m_descriptors.end(), [&id](const Descriptor& d) { return d.id == id; });
    return it == m_descriptors.end() ? nullptr : &*it;
}

bool AlgorithmFactory::isVisible(const Descriptor* descriptor) const
{
    return algorithmDescriptor(descriptor->id) == descriptor;
}

std::string AlgorithmFactory::algorithmId(const Algorithm& algorithm) const
{
    for (const auto& front : m_front)
    {
        std::string id = front->algorithmId(algorithm);
        if (!id.empty())
            return id;
    }
    auto it = m_typeToId.find(std::type_index(typeid(algorithm)));
    return it == m_typeToId.end() ? std::string() : it->second;
}

bool AlgorithmFactory::registerAlgorithm(std::type_index type, const std::string& shortName,
                                         const std::string& category, CreationRule rule,
                                         std::shared_ptr<const Properties> preset)
{
    const std::string id = m_name.empty() ? shortName : m_name + "." + shortName;
    if (ownDescriptor(id))
    {
        Log::log(Log::Warning, kCategory, "Algorithm already registered: " + id);
        return false;
    }

    Descriptor descriptor;
    descriptor.id = id;
    descriptor.category = category;
    descriptor.flags = 0;
    descriptor.preset = preset;
    const std::string displayName = lastCategoryPiece(category);
    if (rule)
    {
        descriptor.create = [rule, id, displayName, preset](const DataList& data)
        { return createWithRule(rule, id, displayName, preset, data); };
        descriptor.isCompatible = [rule, id](const DataList& data) { return testRule(rule, id, data); };
    }
    if (!addDescriptor(std::move(descriptor)))
    {
        Log::log(Log::Warning, kCategory, "Algorithm not registered, its descriptor was refused: " + id);
        return false;
    }
    // The first identifier of a class wins, so algorithmId names the class's main registration when a class is
    // registered again under another name (with another preset, for example).
    m_typeToId.emplace(type, id);
    return true;
}

bool AlgorithmFactory::addDescriptor(Descriptor descriptor)
{
    if (descriptor.id.empty() || !descriptor.create || ownDescriptor(descriptor.id))
        return false;
    m_descriptors.push_back(std::move(descriptor));
    return true;
}

} // namespace Kelvaros
