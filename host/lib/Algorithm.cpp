#include "lib/Algorithm.h"

namespace Kelvaros
{

Algorithm::Algorithm() = default;

Algorithm::~Algorithm() = default;

OwningDataList Algorithm::takeOutput()
{
    return {};
}

bool Algorithm::survivesDataDeletion(const Data*) const
{
    return false;
}

void Algorithm::aboutToDeleteData(const Data*) {}

std::string Algorithm::statusMessage() const
{
    std::lock_guard lock(m_messageMutex);
    return m_statusMessage;
}

void Algorithm::setStatus(int status, std::string message)
{
    {
        std::lock_guard lock(m_messageMutex);
        m_statusMessage = std::move(message);
    }
    m_status = status;
}

} // namespace Kelvaros
