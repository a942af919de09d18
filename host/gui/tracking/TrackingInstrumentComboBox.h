#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <QComboBox>
#include <QMetaType>

#include "core/Export.h"
#include "core/Parameter.h"
#include "core/Signal.h"
#include "stream/TrackerID.h"

Q_DECLARE_METATYPE(std::string)

namespace Kelvaros
{
namespace QtHelpers
{
class MainThreadCall;
}

class StreamData;
class TrackingStream;

/// A combo box listing the instruments of a tracking stream; the item data (Qt::UserRole) of each entry is its
/// TrackerID::ID as a QString. The selection is held by id: when the list changes, the same instrument stays
/// selected, and a selected instrument that vanished stays listed, marked "(not seen)", until the user picks
/// another one.
///
/// Main thread only, except that the stream's samples are watched on the stream's thread: with followStream, a
/// change in the set of instruments a sample carries refreshes the list through a queued call.
class KELVAROS_API TrackingInstrumentComboBox
  : public QComboBox
  , public SignalReceiver
{
    Q_OBJECT

public:
    /// Parts of an entry's text, combined as flags and joined by the separator in this order.
    enum EntryFormat
    {
        Id = 1,
        Model = 2,
        Name = 4
    };

    /// With followStream the entries follow the instruments that appear in and vanish from the stream's samples.
    explicit TrackingInstrumentComboBox(QWidget* parent = nullptr, bool followStream = true);
    ~TrackingInstrumentComboBox() override;

    /// Text between the parts of an entry; default " : ". Takes effect at the next fill or refresh.
    void setSeparator(const QString& separator);
    [[nodiscard]] const QString& separator() const { return m_separator; }
    /// Text of the empty choice; default "(none)". Takes effect at the next fill or refresh.
    void setEmptyChoiceText(const QString& text);

    /// Lists the instruments of the stream's instruments() (null: none), each shown by `entryFormat` (EntryFormat
    /// flags; 0 is taken as Id), with a first choice "(none)" whose id is empty when `addEmptyChoice`. A selection
    /// made before (selectInstrument) is kept; without one the empty choice, or else the first instrument, is
    /// selected and announced with instrumentSelected. The stream must outlive this box or the next call.
    void initFromTrackingStream(TrackingStream* stream, int entryFormat, bool addEmptyChoice);

    /// Selects an instrument by id (listed as not seen when the stream does not have it) and emits
    /// instrumentSelected with it.
    void selectInstrument(const std::string& id);
    /// Keeps an algorithm's instrument parameter and this box as one choice: selects the parameter's instrument,
    /// then writes every choice the user makes into it. An empty parameter takes the instrument the box shows,
    /// so that the box never names another instrument than the one the algorithm follows. Call after
    /// initFromTrackingStream: filling the list selects its first instrument, which must not replace a saved
    /// choice. The parameter must outlive the box.
    void keepInParameter(Parameter<std::string>& parameter);
    /// The id of the selected entry; empty for the empty choice or when nothing is listed.
    [[nodiscard]] std::string selectedInstrumentId() const { return m_selectedId; }

    /// The text of an entry for an instrument: the parts named by `entryFormat` that are not empty, joined by
    /// `separator`; the id when all of them are empty.
    [[nodiscard]] static QString entryText(const TrackerID& id, int entryFormat, const QString& separator);

signals:
    /// The selected instrument's id (empty for the empty choice), after the user or selectInstrument chose it or a
    /// fill selected the first instrument where nothing was selected; not when the list changes and the selection
    /// is kept.
    void instrumentSelected(std::string id);

private:
    void onStreamData(const std::shared_ptr<const StreamData>& data);
    void onCurrentIndexChanged(int index);
    void applyStreamInstruments();
    /// Rebuilds the list and announces a selection that changed on the way.
    void refresh();
    void rebuild();
    [[nodiscard]] TrackerID knownIdentity(const std::string& id) const;

    const bool m_followStream;
    QString m_separator = " : ";
    QString m_emptyChoiceText = QStringLiteral("(none)");
    int m_entryFormat = Id;
    bool m_addEmptyChoice = false;
    std::string m_selectedId;
    std::vector<TrackerID> m_entries;
    /// Identities of every instrument listed at some time, for the entry of one that vanished.
    std::vector<TrackerID> m_known;

    /// Guards m_sampleInstruments, written on the stream's thread and taken over on the main thread, and the
    /// call queued to take them over.
    std::mutex m_sampleMutex;
    std::vector<TrackerID> m_sampleInstruments;
    std::shared_ptr<QtHelpers::MainThreadCall> m_pendingApply;
};

} // namespace Kelvaros
