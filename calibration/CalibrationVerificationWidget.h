#pragma once

#include <array>
#include <memory>
#include <mutex>
#include <string>

#include <QWidget>

#include "core/Signal.h"

#include "calibration/CalibrationVerification.h"

class QDoubleSpinBox;
class QLabel;
class QPushButton;

namespace Kelvaros
{

class StreamData;
class TrackingInstrumentComboBox;
class TrackingStream;
class TrackingStreamData;

namespace QtHelpers
{
class MainThreadCall;
}

/// Checks a tool's calibration live on a divot: the user picks the reference instrument the divot is fixed to
/// ("Tracker" for tracker space), enters the divot's position in that frame (or takes it from the tip) and the pass
/// mark, then touches the divot; one large line shows the tip's distance to it, green when it passes and red when
/// it fails, or grey while nothing can be measured.
///
/// The divot and the pass mark are set once per reference: they are kept in QSettings (group
/// "Navigation/CalibrationVerification", one entry per reference id, and the reference chosen last) and come back
/// when that reference is chosen again.
///
/// Threads: every function and signal on the main thread. The stream's samples are taken on the stream's thread and
/// handed over with at most one queued call outstanding, so a fast tracker never floods the event loop and each
/// update shows the newest sample. The tool's calibration is read from the stream at every update, so a new
/// calibration shows at once. The widget may be destroyed while samples arrive (not from inside its own signals'
/// handlers: use deleteLater there).
class CalibrationVerificationWidget
  : public QWidget
  , public SignalReceiver
{
    Q_OBJECT

public:
    explicit CalibrationVerificationWidget(QWidget* parent = nullptr);
    ~CalibrationVerificationWidget() override;

    /// The stream whose samples are judged and whose instruments are offered as references (not owned; null stops
    /// listening). It must outlive this widget or the next setStream call.
    void setStream(TrackingStream* stream);
    /// The tool (TrackerID::ID) whose calibration is checked.
    void setTool(std::string id);

    /// The last evaluation (smoothed: see CalibrationVerification::evaluateSmoothed).
    [[nodiscard]] const CalibrationVerification::Result& result() const { return m_result; }
    /// The settings of the chosen reference.
    [[nodiscard]] const CalibrationVerification::Settings& settings() const { return m_verification.settings(); }

    [[nodiscard]] TrackingInstrumentComboBox* referenceComboBox() const { return m_reference; }
    /// The divot's x, y and z (mm, reference frame).
    [[nodiscard]] const std::array<QDoubleSpinBox*, 3>& divotSpinBoxes() const { return m_divot; }
    [[nodiscard]] QDoubleSpinBox* passMarkSpinBox() const { return m_passMark; }
    [[nodiscard]] QPushButton* setDivotFromTipButton() const { return m_setFromTip; }
    /// The large result line.
    [[nodiscard]] QLabel* resultLabel() const { return m_resultLabel; }

signals:
    /// The pass/fail verdict changed (passed is false whenever nothing is measured).
    void resultChanged(bool passed);
    /// After every evaluation: a sample, a new reference, tool or setting.
    void evaluated();

private:
    void buildLayout();
    void onStreamData(const std::shared_ptr<const StreamData>& data);
    void takeSample();
    void onReferenceSelected(const std::string& id);
    void onDivotEdited();
    void onPassMarkEdited(double mm);
    void onSetDivotFromTip();
    /// The user changed a setting: kept in QSettings and judged at once.
    void storeSettings(CalibrationVerification::Settings settings);
    void showSettings();
    void evaluate();
    void showResult();
    [[nodiscard]] Eigen::Matrix4d toolCalibration() const;

    TrackingInstrumentComboBox* m_reference;
    std::array<QDoubleSpinBox*, 3> m_divot{};
    QDoubleSpinBox* m_passMark;
    QPushButton* m_setFromTip;
    QLabel* m_resultLabel;

    TrackingStream* m_stream = nullptr;
    std::string m_toolId;
    /// The calibration of the last evaluation: a new one restarts the smoothing.
    Eigen::Matrix4d m_calibration = Eigen::Matrix4d::Identity();
    CalibrationVerification m_verification;
    CalibrationVerification::Result m_result;
    /// The sample of the last update; main thread.
    std::shared_ptr<const TrackingStreamData> m_sample;

    /// Guards the three below, written on the stream's thread and taken over on the main thread.
    std::mutex m_incomingMutex;
    std::shared_ptr<const TrackingStreamData> m_incoming;
    bool m_callQueued = false;
    std::shared_ptr<QtHelpers::MainThreadCall> m_call;
};

} // namespace Kelvaros
