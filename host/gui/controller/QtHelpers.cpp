#include "gui/controller/QtHelpers.h"

#include <utility>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QSignalBlocker>
#include <QThread>

#include "core/Log.h"

namespace Kelvaros::QtHelpers
{

MainThreadCall::MainThreadCall(std::function<void()> function) : m_function(std::move(function)) {}

void MainThreadCall::cancel()
{
    m_cancelled = true;
    // Waits for a run in progress on another thread; the flag keeps any later run from starting.
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
}

void MainThreadCall::run()
{
    std::lock_guard<std::recursive_mutex> lock(m_mutex);
    if (m_cancelled || m_done)
        return;
    m_function();
    // The function's captures may hold the very objects it served; let them go with the run.
    m_function = nullptr;
    m_done = true;
}

std::shared_ptr<MainThreadCall> runOnMainThread(std::function<void()> function)
{
    auto call = std::make_shared<MainThreadCall>(std::move(function));
    QCoreApplication* application = QCoreApplication::instance();
    if (!application)
    {
        Log::log(Log::Error, "QtHelpers", "No application object: a call for the main thread is dropped");
        return call;
    }
    QMetaObject::invokeMethod(
      application, [call] { call->run(); }, Qt::QueuedConnection);
    return call;
}

bool isMainThread()
{
    const QCoreApplication* application = QCoreApplication::instance();
    return application && QThread::currentThread() == application->thread();
}

void setSilent(QCheckBox* checkBox, bool checked)
{
    setSilent(static_cast<QAbstractButton*>(checkBox), checked);
}

void setSilent(QAbstractButton* button, bool checked)
{
    const QSignalBlocker blocker(button);
    button->setChecked(checked);
}

void setSilent(QComboBox* comboBox, int currentIndex)
{
    const QSignalBlocker blocker(comboBox);
    comboBox->setCurrentIndex(currentIndex);
}

} // namespace Kelvaros::QtHelpers
