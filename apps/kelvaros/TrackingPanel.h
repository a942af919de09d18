#pragma once

#include <functional>
#include <memory>

#include <QWidget>

#include "core/Signal.h"

class QComboBox;
class QLabel;
class QPushButton;
class QTableWidget;

namespace Kelvaros
{

class ApplicationController;
class Data;
class StreamRateMeter;
class TrackingStream;

/// The panel of one tracking stream at a time, chosen at its top: state and rate; start, stop, pause and resume;
/// record; each instrument with whether the tracker sees it, its quality and its calibration (with the method and
/// the tip error the fit predicts). For the simulated tracker it switches the scenario of the same stream (at the
/// next frame, in the same world), so that one stream is calibrated, registered and navigated in turn as with a
/// real tracker; for an OpenIGTLink tracker it shows the server, the connections made and the last error.
/// Reads the stream a few times a second on the main thread. Main thread only.
class TrackingPanel
  : public QWidget
  , public SignalReceiver
{
    Q_OBJECT

public:
    /// `record` is asked to record the stream shown; the application outlives the panel.
    TrackingPanel(ApplicationController& app, std::function<void(TrackingStream&)> record, QWidget* parent = nullptr);
    ~TrackingPanel() override;

    /// Shows this stream (it must be in the application's data); null shows the first one.
    void showStream(TrackingStream* stream);
    [[nodiscard]] TrackingStream* stream() const;
    /// Reads the stream's state, rate and instruments again.
    void refresh();

private:
    void rebuildStreamList();
    void refreshInstruments(bool fresh);
    void refreshSourceDetails();
    void onStartStop();
    void onPauseResume();

    ApplicationController& m_app;
    std::function<void(TrackingStream&)> m_record;
    std::unique_ptr<StreamRateMeter> m_meter;
    QComboBox* m_streams;
    QLabel* m_state;
    QPushButton* m_startStop;
    QPushButton* m_pauseResume;
    QPushButton* m_recordButton;
    QLabel* m_scenarioLabel;
    QComboBox* m_scenario;
    QLabel* m_connection;
    QTableWidget* m_instruments;
};

} // namespace Kelvaros
