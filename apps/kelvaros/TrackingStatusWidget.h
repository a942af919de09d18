#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include <QWidget>

#include "core/Signal.h"

#include "StreamRateMeter.h"

class QHBoxLayout;

namespace Kelvaros
{

class ApplicationController;
class Data;
class TrackingStream;

/// The status bar's account of tracking: per stream its state and sample rate, and per instrument whether the
/// tracker sees it (green) or not (red), as the tool panels of trackers show it. A running stream whose samples
/// stopped for kTrackingStaleAfter says "no data" instead of a rate and shows every instrument as not seen: the last
/// sample says nothing of now. With several streams, each is one entry with the count of instruments seen (green
/// all, amber some, red none) and the instruments in its tooltip, so that four trackers stay readable. Refreshed a
/// few times a second on the main thread. Main thread only.
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
    /// What one stream's entry shows.
    struct StreamStatus
    {
        QString name, state, rate;
        std::vector<std::pair<QString, bool>> instruments; // shown name, seen
    };
    /// The widest a stream's name is shown with several streams, in pixels.
    static constexpr int kBriefNameWidth = 160;

    void watch(Data* data);
    [[nodiscard]] static StreamStatus measure(StreamRateMeter& meter, StreamRateMeter::Clock::time_point now);
    void addInFull(const StreamStatus& stream);
    void addInBrief(const StreamStatus& stream);

    ApplicationController& m_app;
    QHBoxLayout* m_layout;
    std::map<const Data*, std::unique_ptr<StreamRateMeter>> m_meters;
};

} // namespace Kelvaros
