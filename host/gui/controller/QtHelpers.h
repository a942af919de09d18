#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "core/Export.h"

class QAbstractButton;
class QCheckBox;
class QComboBox;

namespace Kelvaros
{

namespace QtHelpers
{

/// The handle of a function queued for the Qt main thread by runOnMainThread.
class KELVAROS_API MainThreadCall
{
public:
    explicit MainThreadCall(std::function<void()> function);
    MainThreadCall(const MainThreadCall&) = delete;
    MainThreadCall& operator=(const MainThreadCall&) = delete;

    /// Once this returns the function never starts. Called on another thread while the function runs, it waits
    /// for the run to end (so do not call it while holding a lock the function takes); called from inside the
    /// function, it returns at once. Any thread.
    void cancel();
    [[nodiscard]] bool isCancelled() const { return m_cancelled.load(); }
    /// True once the function has run to its end. Any thread.
    [[nodiscard]] bool isDone() const { return m_done.load(); }

    /// Runs the function unless cancelled; the queued event calls this on the main thread.
    void run();

private:
    // Held while the function runs, so that cancel() from another thread waits for it; recursive so that the
    // function may cancel its own handle.
    std::recursive_mutex m_mutex;
    std::function<void()> m_function;
    std::atomic<bool> m_cancelled{ false };
    std::atomic<bool> m_done{ false };
};

/// Queues a function for the thread of the QApplication and returns its handle; the function runs from that
/// thread's event loop, never synchronously, even when called there. Without an application object the function
/// never runs (Error in the log). Any thread.
KELVAROS_API std::shared_ptr<MainThreadCall> runOnMainThread(std::function<void()> function);

/// True on the thread of the QApplication (false when there is none).
[[nodiscard]] KELVAROS_API bool isMainThread();

/// Set a widget's state without emitting its signals. Main thread.
KELVAROS_API void setSilent(QCheckBox* checkBox, bool checked);
KELVAROS_API void setSilent(QAbstractButton* button, bool checked);
KELVAROS_API void setSilent(QComboBox* comboBox, int currentIndex);

} // namespace QtHelpers

} // namespace Kelvaros
