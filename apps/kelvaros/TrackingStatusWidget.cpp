#include "TrackingStatusWidget.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

#include "lib/ApplicationController.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{

namespace
{
QLabel* instrumentLabel(const TrackingInstrument& instrument, bool seen, QWidget* parent)
{
    auto* label =
      new QLabel(QString::fromStdString(instrument.name().empty() ? instrument.ID() : instrument.name()), parent);
    label->setObjectName(seen ? "seen" : "notSeen");
    label->setStyleSheet(QString("QLabel { color: white; background: %1; border-radius: 3px; padding: 0 4px; }")
                           .arg(seen ? "#2e8b3a" : "#c0392b"));
    label->setToolTip(seen ? QObject::tr("Seen by the tracker") : QObject::tr("Not seen by the tracker"));
    return label;
}
} // namespace

TrackingStatusWidget::Meter::Meter(TrackingStream& s) : stream(s)
{
    stream.signalStreamData.connect(this, [this](const std::shared_ptr<const StreamData>&) { ++samples; });
}

TrackingStatusWidget::Meter::~Meter()
{
    disconnectAll();
}

TrackingStatusWidget::TrackingStatusWidget(ApplicationController& app, QWidget* parent)
  : QWidget(parent), m_app(app), m_layout(new QHBoxLayout(this))
{
    m_layout->setContentsMargins(0, 0, 0, 0);
    m_layout->setSpacing(4);
    const DataList all = m_app.dataList();
    for (Data* data : all.items())
        watch(data);
    m_app.signalDataAdded.connect(this, &TrackingStatusWidget::watch);
    m_app.signalDataRemoved.connect(this, [this](Data* data) { m_meters.erase(data); });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &TrackingStatusWidget::refresh);
    timer->start(500);
}

TrackingStatusWidget::~TrackingStatusWidget()
{
    disconnectAll();
}

void TrackingStatusWidget::watch(Data* data)
{
    if (auto* stream = dynamic_cast<TrackingStream*>(data))
        m_meters[data] = std::make_unique<Meter>(*stream);
}

void TrackingStatusWidget::refresh()
{
    const auto now = Meter::Clock::now();
    while (QLayoutItem* item = m_layout->takeAt(0))
    {
        delete item->widget();
        delete item;
    }
    const DataList all = m_app.dataList();
    for (Data* data : all.items())
    {
        const auto found = m_meters.find(data);
        if (found == m_meters.end())
            continue;
        Meter& meter = *found->second;
        // Counted over this meter's own interval: a stream added between two refreshes is not averaged over time
        // it did not exist.
        const int64_t samples = meter.samples.load();
        const double seconds = std::chrono::duration<double>(now - meter.lastRefresh).count();
        const double rateHz = seconds > 0 ? double(samples - meter.samplesAtLastRefresh) / seconds : 0.0;
        meter.samplesAtLastRefresh = samples;
        meter.lastRefresh = now;
        const auto lastSample = meter.stream.lastSampleTime();
        const bool fresh = lastSample && now - *lastSample < std::chrono::milliseconds(kStaleAfterMs);
        const bool running = meter.stream.state() == Stream::State::Running;
        QString rate;
        if (running)
            rate = fresh ? QString(" %1 Hz").arg(rateHz, 0, 'f', 0) : tr(", no data");
        auto* streamLabel = new QLabel(QString("%1: %2%3")
                                         .arg(QString::fromStdString(meter.stream.name()))
                                         .arg(Stream::stateName(meter.stream.state()))
                                         .arg(rate),
                                       this);
        m_layout->addWidget(streamLabel);
        std::vector<std::string> active;
        for (const auto& instrument : meter.stream.activeInstruments())
            active.push_back(instrument.ID());
        for (const auto& instrument : meter.stream.instruments())
        {
            const bool seen =
              running && fresh && std::find(active.begin(), active.end(), instrument.ID()) != active.end();
            m_layout->addWidget(instrumentLabel(instrument, seen, this));
        }
        m_layout->addSpacing(12);
    }
    m_layout->addStretch();
}

QString TrackingStatusWidget::summary() const
{
    QStringList parts;
    for (int i = 0; i < m_layout->count(); ++i)
        if (auto* label = qobject_cast<QLabel*>(m_layout->itemAt(i)->widget()))
            parts << (label->objectName().isEmpty() ? label->text() : label->text() + "(" + label->objectName() + ")");
    return parts.join(' ');
}

} // namespace Kelvaros
