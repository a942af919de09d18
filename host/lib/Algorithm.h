#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "core/Configurable.h"
#include "core/Export.h"
#include "core/Signal.h"
#include "lib/DataList.h"
#include "lib/OwningDataList.h"

namespace Kelvaros
{

class Progress;

/// A unit of work on data, created by an AlgorithmFactory from the user's selection. Failures are reported
/// through status() and the host log; no exception leaves compute().
class KELVAROS_API Algorithm : public Configurable
{
public:
    /// Status values shared by all algorithms; an algorithm may define more of its own (2, 3, ...).
    enum Status : int
    {
        Success = 0,
        Error = 1,
        Unknown = -1
    };

    /// Where the algorithm came from: identifier, display name and the data it was created on.
    struct FactoryInfo
    {
        std::string id;
        std::string name;
        DataList data;
    };

    Algorithm();
    ~Algorithm() override;

    virtual void compute() = 0;
    /// Hands over the data the last compute produced (empty by default).
    virtual OwningDataList takeOutput();
    /// Where long work reports its progress (not owned; may be null).
    virtual void setProgress(Progress* progress) { m_progress = progress; }
    /// Result of the last compute: 0 success, Unknown before the first.
    [[nodiscard]] virtual int status() const { return m_status; }
    /// What the last compute did or why it failed, as one or two sentences a user can act on ("The tool was tilted
    /// by only 1.2 degrees ... Pivot the tool about its fixed tip, tilting it in more than one direction."); empty
    /// when the algorithm said nothing beyond its status. Panels show it instead of a bare status number; the log
    /// keeps its own messages. Any thread.
    [[nodiscard]] std::string statusMessage() const;
    /// Whether the algorithm may live on when this data object is deleted (false: the host closes it).
    [[nodiscard]] virtual bool survivesDataDeletion(const Data* data) const;
    /// The host is about to delete this data object, which the algorithm may still point at without owning it
    /// (an output it handed over with takeOutput, say): the algorithm must forget it. Nothing by default.
    virtual void aboutToDeleteData(const Data* data);

    [[nodiscard]] const FactoryInfo& factoryInfo() const { return m_factoryInfo; }
    void setFactoryInfo(FactoryInfo info) { m_factoryInfo = std::move(info); }

    /// Emitted when the output of the algorithm changed (a controller refreshes its display).
    SignalImpl<> signalOutputChanged;

protected:
    /// Sets the status and forgets the message of an earlier run.
    void setStatus(int status) { setStatus(status, std::string()); }
    /// Sets the status together with the sentence that explains it to the user (see statusMessage()).
    void setStatus(int status, std::string message);
    [[nodiscard]] Progress* progress() const { return m_progress; }

private:
    std::atomic<int> m_status{ Unknown };
    mutable std::mutex m_messageMutex;
    std::string m_statusMessage; // guarded by m_messageMutex
    Progress* m_progress = nullptr;
    FactoryInfo m_factoryInfo;
};

} // namespace Kelvaros
