#include "TrackingStatusWidget.h"

#include <algorithm>
#include <cstring>

#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>

#include "lib/ApplicationController.h"
#include "stream/TrackingSnapshot.h"
#include "stream/TrackingStream.h"

namespace Kelvaros
{

namespace
{
/// A coloured label: green for "seen", amber for "partlySeen", red otherwise; `kind` is also its object name.
QLabel* chip(const QString& text, const char* kind, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(kind);
    const QString colour = std::strcmp(kind, "seen") == 0         ? "#2e8b3a"
                           : std::strcmp(kind, "partlySeen") == 0 ? "#b9770e"
                                                                  : "#c0392b";
    label->setStyleSheet(
      QString("QLabel { color: white; background: %1; border-radius: 3px; padding: 0 4px; }").arg(colour));
    label->setToolTip(std::strcmp(kind, "seen") == 0 ? QObject::tr("Seen by the tracker")
                                                     : QObject::tr("Not seen by the tracker"));
    return label;
}
} // namespace

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
        m_meters[data] = std::make_unique<StreamRateMeter>(*stream);
}

TrackingStatusWidget::StreamStatus TrackingStatusWidget::measure(StreamRateMeter& meter,
                                                                 StreamRateMeter::Clock::time_point now)
{
    const double rateHz = meter.rateSinceLastReading(now);
    TrackingStream& stream = meter.stream();
    const auto lastSample = stream.lastSampleTime();
    const bool fresh = lastSample && now - *lastSample < kTrackingStaleAfter;
    const bool running = stream.state() == Stream::State::Running;
    StreamStatus status{ QString::fromStdString(stream.name()), Stream::stateName(stream.state()), {}, {} };
    if (running)
        status.rate = fresh ? QString(" %1 Hz").arg(rateHz, 0, 'f', 0) : tr(", no data");
    std::vector<std::string> active;
    for (const auto& instrument : stream.activeInstruments())
        active.push_back(instrument.ID());
    for (const auto& instrument : stream.instruments())
        status.instruments.push_back(
          { QString::fromStdString(instrument.name().empty() ? instrument.ID() : instrument.name()),
            running && fresh && std::find(active.begin(), active.end(), instrument.ID()) != active.end() });
    return status;
}

void TrackingStatusWidget::refresh()
{
    const auto now = StreamRateMeter::Clock::now();
    while (QLayoutItem* item = m_layout->takeAt(0))
    {
        delete item->widget();
        delete item;
    }
    std::vector<StreamStatus> streams;
    const DataList all = m_app.dataList();
    for (Data* data : all.items())
        if (const auto found = m_meters.find(data); found != m_meters.end())
            streams.push_back(measure(*found->second, now));
    for (const StreamStatus& stream : streams)
    {
        if (streams.size() == 1)
            addInFull(stream);
        else
            addInBrief(stream);
        m_layout->addSpacing(12);
    }
    m_layout->addStretch();
}

void TrackingStatusWidget::addInFull(const StreamStatus& stream)
{
    m_layout->addWidget(new QLabel(QString("%1: %2%3").arg(stream.name, stream.state, stream.rate), this));
    for (const auto& [name, seen] : stream.instruments)
        m_layout->addWidget(chip(name, seen ? "seen" : "notSeen", this));
}

// With several trackers, one entry each: the name, state and rate, and how many of its instruments are seen, in
// a colour that says whether all, some or none are; the instruments are listed in its tooltip.
void TrackingStatusWidget::addInBrief(const StreamStatus& stream)
{
    const auto seen = std::count_if(stream.instruments.begin(), stream.instruments.end(),
                                    [](const auto& instrument) { return instrument.second; });
    const QString name = fontMetrics().elidedText(stream.name, Qt::ElideMiddle, kBriefNameWidth);
    const QString seenText =
      stream.instruments.empty() ? QString() : QString(" %1/%2").arg(seen).arg(stream.instruments.size());
    const char* kind = seen == 0 ? "notSeen" : size_t(seen) == stream.instruments.size() ? "seen" : "partlySeen";
    QLabel* label = chip(QString("%1: %2%3%4").arg(name, stream.state, stream.rate, seenText), kind, this);
    QStringList lines{ QString("%1: %2%3").arg(stream.name, stream.state, stream.rate) };
    for (const auto& [instrument, isSeen] : stream.instruments)
        lines << QString("%1: %2").arg(instrument, isSeen ? tr("seen") : tr("not seen"));
    label->setToolTip(lines.join('\n'));
    m_layout->addWidget(label);
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
