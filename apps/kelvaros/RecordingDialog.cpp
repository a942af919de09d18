#include "RecordingDialog.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "lib/ApplicationController.h"
#include "stream/TrackingStream.h"

#include "session/RecordingWriter.h"

namespace Kelvaros
{

RecordingDialog::RecordingDialog(ApplicationController& app, TrackingStream& stream, const QString& path,
                                 QWidget* parent)
  : QDialog(parent),
    m_stream(&stream),
    m_path(path),
    m_writer(std::make_unique<RecordingWriter>(path.toStdString())),
    m_status(new QLabel(this)),
    m_stop(new QPushButton(tr("Stop"), this))
{
    setWindowTitle(tr("Recording %1").arg(QString::fromStdString(stream.name())));
    auto* busy = new QProgressBar(this);
    busy->setRange(0, 0);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Recording '%1' to %2").arg(QString::fromStdString(stream.name()), path), this));
    layout->addWidget(busy);
    layout->addWidget(m_status);
    layout->addWidget(m_stop);
    connect(m_stop, &QPushButton::clicked, this, &RecordingDialog::stop);
    connect(m_stop, &QPushButton::clicked, busy, &QWidget::hide);
    // The removal signal comes on the main thread before the stream dies: the recording ends with it.
    app.signalDataRemoved.connect(this,
                                  [this, busy](Data* data)
                                  {
                                      if (data == m_stream)
                                      {
                                          stop();
                                          busy->hide();
                                      }
                                  });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &RecordingDialog::showProgress);
    timer->start(250);
    setAttribute(Qt::WA_DeleteOnClose);
}

RecordingDialog::~RecordingDialog()
{
    disconnectAll();
    stop();
}

bool RecordingDialog::start()
{
    if (!m_writer->open())
    {
        m_status->setText(tr("Cannot write %1 (see the log).").arg(m_path));
        m_stream = nullptr;
        m_stop->setEnabled(false);
        return false;
    }
    m_writer->listen(*m_stream);
    showProgress();
    return true;
}

void RecordingDialog::stop()
{
    if (!m_stream)
        return;
    m_stream = nullptr;
    m_stop->setEnabled(false);
    const bool saved = m_writer->finish();
    m_status->setText(
      saved ? tr("Wrote %1 samples to %2.").arg(m_writer->written()).arg(m_path)
            : tr("Nothing was written: %1")
                .arg(QString::fromStdString(m_writer->error().empty() ? "no sample arrived" : m_writer->error())));
}

int64_t RecordingDialog::written() const
{
    return m_writer->written();
}

void RecordingDialog::showProgress()
{
    if (m_stream)
        m_status->setText(tr("%1 samples written").arg(m_writer->written()));
}

} // namespace Kelvaros
