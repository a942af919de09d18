#pragma once

#include <deque>
#include <mutex>
#include <vector>

#include <QWidget>

#include "core/Log.h"

class QComboBox;
class QPlainTextEdit;

namespace Kelvaros
{

/// The host log as the user reads it: the last kMaxLines messages, shown from a chosen level up.
///
/// Messages arrive on any thread through a log sink, which only queues them under m_mutex; a timer on the main
/// thread moves them into the view, so a busy stream thread never waits for a widget.
class LogWidget : public QWidget
{
    Q_OBJECT

public:
    static constexpr int kMaxLines = 5000;

    explicit LogWidget(QWidget* parent = nullptr);
    ~LogWidget() override;

    /// Shows messages of this level and above (Log::Level).
    void setMinimumLevel(int level);
    /// The text shown now (after the pending messages were taken in).
    [[nodiscard]] QString text();

private:
    void takePending();
    void showAll();
    void append(const Log::Record& record);

    QComboBox* m_level;
    QPlainTextEdit* m_view;
    int m_sink = -1;

    std::mutex m_mutex;
    std::vector<Log::Record> m_pending; // guarded by m_mutex

    std::deque<Log::Record> m_records; // main thread
};

} // namespace Kelvaros
