#include "DataRemoval.h"

#include <algorithm>

#include "lib/Algorithm.h"
#include "lib/ApplicationController.h"
#include "lib/Data.h"
#include "stream/Stream.h"
#include "stream/StreamAlgorithmBase.h"

namespace Kelvaros
{

namespace
{
template<typename T>
bool has(const std::vector<T*>& items, const T* item)
{
    return std::find(items.begin(), items.end(), item) != items.end();
}

std::string quotedNames(const std::vector<std::string>& names)
{
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "'" : ", '") + name + "'";
    return text;
}
} // namespace

DataRemoval::DataRemoval(ApplicationController& app, Data& data) : m_app(app)
{
    collect(data);
}

void DataRemoval::collect(Data& data)
{
    if (has<Data>(m_order, &data))
        return;
    const std::vector<Data*> present = m_app.dataList().items();
    for (Algorithm* algorithm : m_app.algorithms())
    {
        if (!has<Data>(algorithm->factoryInfo().data.items(), &data))
            continue;
        // A stream the algorithm made from this data follows it: it goes first.
        const auto* maker = dynamic_cast<const StreamAlgorithmBase*>(algorithm);
        Data* derived = maker ? static_cast<Data*>(maker->stream()) : nullptr;
        if (derived && derived != &data && has<Data>(present, derived))
            collect(*derived);
        if (!algorithm->survivesDataDeletion(&data) && !has<Algorithm>(m_closing, algorithm))
            m_closing.push_back(algorithm);
    }
    m_order.push_back(&data);
}

std::string DataRemoval::question() const
{
    if (m_order.size() == 1 && m_closing.empty())
        return {};
    std::string text = "Remove '" + m_order.back()->name() + "'?";
    std::vector<std::string> derived;
    for (size_t i = 0; i + 1 < m_order.size(); ++i)
        derived.push_back(m_order[i]->name());
    if (!derived.empty())
        text += " The streams made from it go too: " + quotedNames(derived) + ".";
    std::vector<std::string> closing;
    for (const Algorithm* algorithm : m_closing)
        closing.push_back(algorithm->factoryInfo().name);
    if (!closing.empty())
        text += " These close, with what they hold that was not saved: " + quotedNames(closing) + ".";
    return text;
}

void DataRemoval::run()
{
    for (Data* data : m_order)
        m_app.removeData(data);
}

} // namespace Kelvaros
