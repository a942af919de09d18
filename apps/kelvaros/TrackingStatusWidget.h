#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>

#include <QWidget>

#include "core/Signal.h"

class QHBoxLayout;

namespace Kelvaros
{

class ApplicationController;
class Data;
class TrackingStream;

/// The status bar's account of tracking: per stream its state and sample rate, and per instrument whether the
/// tracker sees it (green) or not (red), as the tool panels of trackers show it. Refreshed a few times a second
/// on the main thread. Main thread only.
class TrackingStatusWidget
  : public QWidget
  , public SignalReceiver
{
    Q_OBJECT

public:
    /// The application is not owned and outlives the widget.
    explicit TrackingStatusWidget(ApplicationController& app, QWidget* parent = nullptr);
    ~TrackingStatusWidget() override;

    /// The text of the status as shown, one stream after the other (for tests and screenshots' readers).
    [[nodiscard]] QString summary() const;

    /// Rebuilds the labels from the streams' current state and the rates since the last refresh.
    void refresh();

private:
    /// Counts a stream's samples; the listener runs on the stream's thread and only increments.
    struct Meter : SignalReceiver
    {
        explicit Meter(TrackingStream& stream);
        ~Meter() override;
        TrackingStream& stream;
        std::atomic<int64_t> samples{ 0 };
        int64_t samplesAtLastRefresh = 0;
    };

    void watch(Data* data);

    ApplicationController& m_app;
    QHBoxLayout* m_layout;
    std::map<const Data*, std::unique_ptr<Meter>> m_meters;
    std::chrono::steady_clock::time_point m_lastRefresh;
};

} // namespace Kelvaros
