#include "TrackingPanel.h"

#include <algorithm>

#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include "lib/ApplicationController.h"
#include "stream/InstrumentCalibrationDataComponent.h"
#include "stream/TrackingSnapshot.h"
#include "stream/TrackingStream.h"
#include "stream/igtl/OpenIGTLinkTrackingStream.h"
#include "stream/sources/SimulatedTrackingStream.h"
#include "stream/sources/TrackingSimulator.h"

#include "StreamRateMeter.h"

namespace Kelvaros
{

namespace
{
constexpr int kRefreshMs = 250;

QString calibrationText(const TrackingStream& stream, const std::string& id)
{
    const auto* calibrations = stream.components().get<InstrumentCalibrationDataComponent>();
    const auto entry = calibrations ? calibrations->entry(id) : std::nullopt;
    if (!entry)
        return QObject::tr("none");
    if (!entry->provenance)
        return QObject::tr("calibrated");
    QString text = QString::fromStdString(entry->provenance->method);
    if (entry->provenance->predictedTipErrorMm)
        text += QObject::tr(", tip ±%1 mm").arg(*entry->provenance->predictedTipErrorMm, 0, 'f', 2);
    return text;
}
} // namespace

TrackingPanel::TrackingPanel(ApplicationController& app, std::function<void(TrackingStream&)> record, QWidget* parent)
  : QWidget(parent),
    m_app(app),
    m_record(std::move(record)),
    m_streams(new QComboBox(this)),
    m_state(new QLabel(this)),
    m_startStop(new QPushButton(this)),
    m_pauseResume(new QPushButton(this)),
    m_recordButton(new QPushButton(tr("Record..."), this)),
    m_scenarioLabel(new QLabel(tr("Scenario"), this)),
    m_scenario(new QComboBox(this)),
    m_connection(new QLabel(this)),
    m_instruments(new QTableWidget(0, 4, this))
{
    m_scenario->setObjectName("scenario");
    for (const std::string& scenario : TrackingSimulator::scenarioNames())
        m_scenario->addItem(QString::fromStdString(scenario));
    m_connection->setWordWrap(true);
    m_instruments->setHorizontalHeaderLabels({ tr("Instrument"), tr("Seen"), tr("Quality"), tr("Calibration") });
    m_instruments->verticalHeader()->hide();
    m_instruments->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
    m_instruments->horizontalHeader()->setStretchLastSection(true);
    m_instruments->setEditTriggers(QAbstractItemView::NoEditTriggers);

    auto* form = new QFormLayout;
    form->addRow(tr("Stream"), m_streams);
    form->addRow(tr("State"), m_state);
    form->addRow(m_scenarioLabel, m_scenario);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_startStop);
    buttons->addWidget(m_pauseResume);
    buttons->addWidget(m_recordButton);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(buttons);
    layout->addWidget(m_connection);
    layout->addWidget(m_instruments, 1);

    connect(m_streams, QOverload<int>::of(&QComboBox::activated), this,
            [this](int index) { showStream(static_cast<TrackingStream*>(m_streams->itemData(index).value<void*>())); });
    connect(m_startStop, &QPushButton::clicked, this, &TrackingPanel::onStartStop);
    connect(m_pauseResume, &QPushButton::clicked, this, &TrackingPanel::onPauseResume);
    connect(m_recordButton, &QPushButton::clicked, this,
            [this]
            {
                if (TrackingStream* shown = stream())
                    m_record(*shown);
            });
    // The stream switches at its next frame and keeps its instruments, calibrations and registration.
    connect(m_scenario, QOverload<int>::of(&QComboBox::activated), this,
            [this](int index)
            {
                if (auto* simulated = dynamic_cast<SimulatedTrackingStream*>(stream()))
                    simulated->scenario = TrackingSimulator::scenarioNames().at(size_t(index));
            });
    m_app.signalDataAdded.connect(this, [this](Data*) { rebuildStreamList(); });
    m_app.signalDataRemoved.connect(this,
                                    [this](Data* data)
                                    {
                                        if (m_meter && data == static_cast<Data*>(&m_meter->stream()))
                                            m_meter.reset();
                                        // The item goes after the data: the list is rebuilt from the event loop.
                                        QTimer::singleShot(0, this, &TrackingPanel::rebuildStreamList);
                                    });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &TrackingPanel::refresh);
    timer->start(kRefreshMs);
    rebuildStreamList();
}

TrackingPanel::~TrackingPanel()
{
    disconnectAll();
}

TrackingStream* TrackingPanel::stream() const
{
    return m_meter ? &m_meter->stream() : nullptr;
}

void TrackingPanel::rebuildStreamList()
{
    const QSignalBlocker blocker(m_streams);
    m_streams->clear();
    const DataList all = m_app.dataList();
    for (TrackingStream* tracking : all.getAll<TrackingStream>())
        m_streams->addItem(QString::fromStdString(tracking->name()), QVariant::fromValue(static_cast<void*>(tracking)));
    const int current = m_streams->findData(QVariant::fromValue(static_cast<void*>(stream())));
    if (current >= 0)
        m_streams->setCurrentIndex(current);
    else
        showStream(nullptr);
}

void TrackingPanel::showStream(TrackingStream* shown)
{
    const DataList all = m_app.dataList();
    const std::vector<TrackingStream*> streams = all.getAll<TrackingStream>();
    if (std::find(streams.begin(), streams.end(), shown) == streams.end())
        shown = streams.empty() ? nullptr : streams.front();
    if (shown != stream())
        m_meter = shown ? std::make_unique<StreamRateMeter>(*shown) : nullptr;
    m_streams->setCurrentIndex(m_streams->findData(QVariant::fromValue(static_cast<void*>(shown))));
    refresh();
}

void TrackingPanel::refresh()
{
    TrackingStream* shown = stream();
    setEnabled(shown != nullptr);
    auto* simulated = dynamic_cast<SimulatedTrackingStream*>(shown);
    m_scenarioLabel->setVisible(simulated != nullptr);
    m_scenario->setVisible(simulated != nullptr);
    if (simulated && !m_scenario->view()->isVisible())
        m_scenario->setCurrentText(QString::fromStdString(simulated->scenario.value()));
    if (!shown)
    {
        m_startStop->setText(tr("Start"));
        m_pauseResume->setText(tr("Pause"));
        m_state->setText(tr("No tracking stream: connect a tracker or start the simulated one (File menu)."));
        m_instruments->setRowCount(0);
        m_connection->hide();
        return;
    }
    const auto now = StreamRateMeter::Clock::now();
    const double rateHz = m_meter->rateSinceLastReading(now);
    const auto lastSample = shown->lastSampleTime();
    // A stream that delivered nothing for this long is shown without rate and its instruments as not seen.
    const bool fresh = lastSample && now - *lastSample < kTrackingStaleAfter;
    const Stream::State state = shown->state();
    const bool running = state == Stream::State::Running;
    QString text = Stream::stateName(state);
    if (running)
        text += fresh ? tr(", %1 Hz").arg(rateHz, 0, 'f', 0)
                      : tr(", no data for %1 ms or more").arg(kTrackingStaleAfter.count());
    m_state->setText(text);
    const bool started = running || state == Stream::State::Paused || state == Stream::State::Disconnected;
    m_startStop->setText(started ? tr("Stop") : tr("Start"));
    m_pauseResume->setText(state == Stream::State::Paused ? tr("Resume") : tr("Pause"));
    m_pauseResume->setEnabled(shown->supportsPausing() && (running || state == Stream::State::Paused));
    refreshSourceDetails();
    refreshInstruments(running && fresh);
}

void TrackingPanel::refreshSourceDetails()
{
    const auto* igtl = dynamic_cast<const OpenIGTLinkTrackingStream*>(stream());
    m_connection->setVisible(igtl != nullptr);
    if (!igtl)
        return;
    QString text = tr("Server %1:%2, %3 connection(s) made")
                     .arg(QString::fromStdString(igtl->host.value()))
                     .arg(igtl->port.value())
                     .arg(igtl->numConnections());
    if (igtl->state() == Stream::State::Disconnected)
        text += tr("; reconnecting");
    if (const std::string error = igtl->lastError(); !error.empty())
        text += tr("; last error: %1").arg(QString::fromStdString(error));
    m_connection->setText(text);
}

void TrackingPanel::refreshInstruments(bool fresh)
{
    const TrackingStream& shown = *stream();
    const std::vector<TrackingInstrument> active = shown.activeInstruments();
    const std::vector<TrackingInstrument> all = shown.instruments();
    m_instruments->setRowCount(int(all.size()));
    for (int row = 0; row < int(all.size()); ++row)
    {
        const TrackingInstrument& instrument = all[size_t(row)];
        const auto latest = std::find_if(active.begin(), active.end(),
                                         [&](const TrackingInstrument& a) { return a.ID() == instrument.ID(); });
        const bool seen = fresh && latest != active.end() && latest->quality > 0.0;
        const QString name = QString::fromStdString(instrument.name().empty() ? instrument.ID() : instrument.name());
        const QString cells[] = { name, seen ? tr("seen") : tr("not seen"),
                                  seen ? QString::number(latest->quality, 'f', 2) : QString("–"),
                                  calibrationText(shown, instrument.ID()) };
        for (int column = 0; column < 4; ++column)
        {
            auto* item = new QTableWidgetItem(cells[column]);
            if (column == 1)
                item->setForeground(seen ? QColor("#2e8b3a") : QColor("#c0392b"));
            m_instruments->setItem(row, column, item);
        }
    }
}

void TrackingPanel::onStartStop()
{
    TrackingStream* shown = stream();
    if (!shown)
        return;
    const Stream::State state = shown->state();
    if (state == Stream::State::Running || state == Stream::State::Paused || state == Stream::State::Disconnected)
        shown->stop();
    else if (state == Stream::State::Opened || shown->open())
        shown->start();
    refresh();
}

void TrackingPanel::onPauseResume()
{
    TrackingStream* shown = stream();
    if (shown && shown->state() == Stream::State::Paused)
        shown->resume();
    else if (shown)
        shown->pause();
    refresh();
}

} // namespace Kelvaros
