#pragma once

#include <memory>

#include <QDialog>

#include "core/Signal.h"

class QLabel;
class QPushButton;

namespace Kelvaros
{

class ApplicationController;
class Data;
class RecordingWriter;
class TrackingStream;

/// Records a tracking stream into a sequence file while the user keeps working: shows the samples written so far
/// and ends with Stop (or when the stream is deleted), replacing the file only when something was recorded.
/// Main thread only; the writer itself listens on the stream's thread.
class RecordingDialog
  : public QDialog
  , public SignalReceiver
{
    Q_OBJECT

public:
    /// The application and the stream are not owned; the stream may be deleted while recording.
    RecordingDialog(ApplicationController& app, TrackingStream& stream, const QString& path, QWidget* parent = nullptr);
    ~RecordingDialog() override;

    /// Opens the file and starts listening; false with the reason shown when the file cannot be created.
    bool start();
    /// Ends the recording; the text of the outcome is shown. Safe to call twice.
    void stop();
    /// Samples written so far.
    [[nodiscard]] int64_t written() const;

private:
    void showProgress();

    TrackingStream* m_stream;
    QString m_path;
    std::unique_ptr<RecordingWriter> m_writer;
    QLabel* m_status;
    QPushButton* m_stop;
};

} // namespace Kelvaros
