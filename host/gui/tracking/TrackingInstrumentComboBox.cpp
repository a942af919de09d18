#include "gui/tracking/TrackingInstrumentComboBox.h"

#include <algorithm>

#include <QSignalBlocker>

#include "gui/controller/QtHelpers.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamData.h"

namespace Kelvaros
{
namespace
{
const QString kNotSeen = QStringLiteral(" (not seen)");

bool containsId(const std::vector<TrackerID>& ids, const std::string& id)
{
    return std::any_of(ids.begin(), ids.end(), [&id](const TrackerID& entry) { return entry.ID() == id; });
}
} // namespace

TrackingInstrumentComboBox::TrackingInstrumentComboBox(QWidget* parent, bool followStream)
  : QComboBox(parent), m_followStream(followStream)
{
    qRegisterMetaType<std::string>("std::string");
    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged), this,
            &TrackingInstrumentComboBox::onCurrentIndexChanged);
}

TrackingInstrumentComboBox::~TrackingInstrumentComboBox()
{
    // The listener queues calls to this object: end it, then the call it may have queued, before the object goes.
    disconnectAll();
    std::lock_guard<std::mutex> lock(m_sampleMutex);
    if (m_pendingApply)
        m_pendingApply->cancel();
}

void TrackingInstrumentComboBox::setSeparator(const QString& separator)
{
    m_separator = separator;
}

void TrackingInstrumentComboBox::setEmptyChoiceText(const QString& text)
{
    m_emptyChoiceText = text;
}

void TrackingInstrumentComboBox::initFromTrackingStream(TrackingStream* stream, int entryFormat, bool addEmptyChoice)
{
    disconnectAll();
    m_entryFormat = entryFormat;
    m_addEmptyChoice = addEmptyChoice;
    m_entries.clear();
    if (stream)
        for (const TrackingInstrument& instrument : stream->instruments())
            m_entries.push_back(instrument.id);
    {
        std::lock_guard<std::mutex> lock(m_sampleMutex);
        m_sampleInstruments = m_entries;
    }
    if (stream && m_followStream)
        stream->signalStreamData.connect(this, &TrackingInstrumentComboBox::onStreamData);
    refresh();
}

void TrackingInstrumentComboBox::keepInParameter(Parameter<std::string>& parameter)
{
    selectInstrument(parameter.value());
    connect(this, &TrackingInstrumentComboBox::instrumentSelected, this,
            [&parameter](const std::string& id) { parameter.setValue(id); });
    if (parameter.value().empty())
        parameter.setValue(selectedInstrumentId());
}

void TrackingInstrumentComboBox::selectInstrument(const std::string& id)
{
    m_selectedId = id;
    rebuild();
    emit instrumentSelected(m_selectedId);
}

QString TrackingInstrumentComboBox::entryText(const TrackerID& id, int entryFormat, const QString& separator)
{
    QStringList parts;
    const auto addPart = [&](EntryFormat flag, const std::string& part)
    {
        if ((entryFormat & flag) && !part.empty())
            parts << QString::fromStdString(part);
    };
    addPart(Id, id.ID());
    addPart(Model, id.model());
    addPart(Name, id.name());
    return parts.isEmpty() ? QString::fromStdString(id.ID()) : parts.join(separator);
}

// Stream thread: only the identities are compared and stored here; the widget changes on the main thread.
void TrackingInstrumentComboBox::onStreamData(const std::shared_ptr<const StreamData>& data)
{
    const auto* sample = dynamic_cast<const TrackingStreamData*>(data.get());
    if (!sample)
        return;
    std::vector<TrackerID> identities;
    identities.reserve(sample->numInstruments());
    for (const TrackingInstrument& instrument : sample->instrumentList())
        identities.push_back(instrument.id);
    {
        std::lock_guard<std::mutex> lock(m_sampleMutex);
        if (identities == m_sampleInstruments)
            return;
        m_sampleInstruments = std::move(identities);
        // One call at a time: a change arriving before the queued one runs is taken over by it.
        if (!m_pendingApply)
            m_pendingApply = QtHelpers::runOnMainThread([this] { applyStreamInstruments(); });
    }
}

void TrackingInstrumentComboBox::applyStreamInstruments()
{
    {
        std::lock_guard<std::mutex> lock(m_sampleMutex);
        m_entries = m_sampleInstruments;
        m_pendingApply.reset();
    }
    refresh();
}

void TrackingInstrumentComboBox::onCurrentIndexChanged(int index)
{
    if (index < 0)
        return;
    m_selectedId = itemData(index).toString().toStdString();
    // The entry of a vanished instrument goes once the user leaves it.
    if (count() > int(m_entries.size()) + (m_addEmptyChoice ? 1 : 0))
        rebuild();
    emit instrumentSelected(m_selectedId);
}

void TrackingInstrumentComboBox::refresh()
{
    const std::string before = m_selectedId;
    rebuild();
    if (m_selectedId != before)
        emit instrumentSelected(m_selectedId);
}

void TrackingInstrumentComboBox::rebuild()
{
    for (const TrackerID& id : m_entries)
    {
        const auto known =
          std::find_if(m_known.begin(), m_known.end(), [&id](const TrackerID& entry) { return entry.ID() == id.ID(); });
        if (known == m_known.end())
            m_known.push_back(id);
        else
            *known = id;
    }
    if (m_selectedId.empty() && !m_addEmptyChoice && !m_entries.empty())
        m_selectedId = m_entries.front().ID();

    const QSignalBlocker blocker(this);
    clear();
    if (m_addEmptyChoice)
        addItem(m_emptyChoiceText, QString());
    for (const TrackerID& id : m_entries)
        addItem(entryText(id, m_entryFormat, m_separator), QString::fromStdString(id.ID()));
    if (!m_selectedId.empty() && !containsId(m_entries, m_selectedId))
        addItem(entryText(knownIdentity(m_selectedId), m_entryFormat, m_separator) + kNotSeen,
                QString::fromStdString(m_selectedId));
    setCurrentIndex(findData(QString::fromStdString(m_selectedId)));
}

TrackerID TrackingInstrumentComboBox::knownIdentity(const std::string& id) const
{
    const auto known =
      std::find_if(m_known.begin(), m_known.end(), [&id](const TrackerID& entry) { return entry.ID() == id; });
    return known == m_known.end() ? TrackerID(id, {}, {}) : *known;
}

} // namespace Kelvaros
