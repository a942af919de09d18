#include "DataListWidget.h"

#include <map>
#include <optional>

#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>

#include "lib/ApplicationController.h"
#include "lib/Data.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/SharedImageSet.h"
#include "stream/Stream.h"
#include "stream/TrackingStream.h"
#include "stream/TrackingStreamDisplayOptions.h"

namespace Kelvaros
{

namespace
{
Data* dataOf(const QTreeWidgetItem* item)
{
    return static_cast<Data*>(item->data(0, Qt::UserRole).value<void*>());
}

/// Where the item's data keep whether they are shown; empty for data whose box is the only record.
std::optional<bool> shownByData(Data& data)
{
    if (auto* set = dynamic_cast<SharedImageSet*>(&data))
        return ImageDisplayOptionsComponent::of(*set).visible();
    if (auto* stream = dynamic_cast<TrackingStream*>(&data))
        return TrackingStreamDisplayOptions::of(*stream).instrumentDisplay() !=
               TrackingStreamDisplayOptions::NoInstruments;
    return std::nullopt;
}

void setShownByData(Data& data, bool shown)
{
    if (auto* set = dynamic_cast<SharedImageSet*>(&data))
        ImageDisplayOptionsComponent::of(*set).setVisible(shown);
    else if (auto* stream = dynamic_cast<TrackingStream*>(&data); stream && shownByData(data) != shown)
        TrackingStreamDisplayOptions::of(*stream).setInstrumentDisplay(
          shown ? TrackingStreamDisplayOptions::AxesAndNames : TrackingStreamDisplayOptions::NoInstruments);
}

constexpr int kShownRole = Qt::UserRole + 1;

/// Sets the box without it counting as the user's change.
void setBox(QTreeWidgetItem& item, bool shown)
{
    item.setData(0, kShownRole, shown);
    item.setCheckState(0, shown ? Qt::Checked : Qt::Unchecked);
}

QString stateText(const Data& data)
{
    const auto* stream = dynamic_cast<const Stream*>(&data);
    return stream ? QString(Stream::stateName(stream->state())) : QString();
}
} // namespace

DataListWidget::DataListWidget(ApplicationController& app, QWidget* parent) : QTreeWidget(parent), m_app(app)
{
    setColumnCount(3);
    setHeaderLabels({ tr("Name"), tr("Kind"), tr("State") });
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setAlternatingRowColors(true);
    header()->setSectionResizeMode(0, QHeaderView::Stretch);
    header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    header()->setStretchLastSection(false);
    // Data come and go on the main thread; the removal signal arrives before the object dies, so the list drops
    // it then (a queued rebuild after the deletion reads the application's list anew).
    m_app.signalDataAdded.connect(this, [this](Data*) { rebuild(); });
    m_app.signalDataRemoved.connect(this,
                                    [this](Data* data)
                                    {
                                        for (int i = 0; i < topLevelItemCount(); ++i)
                                            if (dataOf(topLevelItem(i)) == data)
                                                delete takeTopLevelItem(i--);
                                    });
    connect(this, &QTreeWidget::itemChanged, this, &DataListWidget::onItemChanged);
    // Only the name is edited: an item is editable in every column, so editing starts here, in the first.
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(this, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* item) { editItem(item, 0); });
    setContextMenuPolicy(Qt::CustomContextMenu);
    connect(this, &QWidget::customContextMenuRequested, this, &DataListWidget::showContextMenu);
    connect(this, &QTreeWidget::itemSelectionChanged, this, [this] { Q_EMIT selectionChanged(selection()); });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &DataListWidget::refreshStates);
    timer->start(500);
    rebuild();
}

DataListWidget::~DataListWidget()
{
    disconnectAll();
}

QString DataListWidget::kindName(const Data& data)
{
    switch (data.kind())
    {
        case Data::Kind::Image:
            return tr("Image");
        case Data::Kind::Volume:
            return tr("Volume");
        case Data::Kind::TrackingStream:
            return tr("Tracking stream");
        case Data::Kind::TrackingSequence:
            return tr("Tracking recording");
        case Data::Kind::Stream:
            return tr("Stream");
        case Data::Kind::PointSet:
            return tr("Points");
        case Data::Kind::Mesh:
            return tr("Mesh");
        case Data::Kind::Unknown:
            break;
    }
    return tr("Data");
}

void DataListWidget::rebuild()
{
    const DataList selected = selection();
    std::map<const Data*, Qt::CheckState> checked;
    for (int i = 0; i < topLevelItemCount(); ++i)
        checked[dataOf(topLevelItem(i))] = topLevelItem(i)->checkState(0);
    QSignalBlocker blocker(this);
    clear();
    const DataList all = m_app.dataList();
    for (Data* data : all.items())
    {
        auto* item =
          new QTreeWidgetItem(this, { QString::fromStdString(data->name()), kindName(*data), stateText(*data) });
        item->setData(0, Qt::UserRole, QVariant::fromValue(static_cast<void*>(data)));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable | Qt::ItemIsEditable);
        const auto found = checked.find(data);
        setBox(*item, shownByData(*data).value_or(found == checked.end() || found->second == Qt::Checked));
    }
    blocker.unblock();
    select(selected);
}

void DataListWidget::refreshStates()
{
    for (int i = 0; i < topLevelItemCount(); ++i)
    {
        QTreeWidgetItem* item = topLevelItem(i);
        item->setText(0, QString::fromStdString(dataOf(item)->name()));
        item->setText(2, stateText(*dataOf(item)));
        // A panel may have shown or hidden the data meanwhile.
        if (const std::optional<bool> shown = shownByData(*dataOf(item)))
        {
            QSignalBlocker blocker(this);
            setBox(*item, *shown);
        }
    }
}

void DataListWidget::onItemChanged(QTreeWidgetItem* item)
{
    Data* data = dataOf(item);
    const QString name = item->text(0).trimmed();
    if (name != QString::fromStdString(data->name()))
    {
        if (!name.isEmpty())
            data->setName(name.toStdString());
        QSignalBlocker blocker(this);
        item->setText(0, QString::fromStdString(data->name())); // an empty name keeps the old one
    }
    const bool shown = item->checkState(0) == Qt::Checked;
    if (item->data(0, kShownRole).toBool() == shown)
        return; // a text refresh, not the box
    item->setData(0, kShownRole, shown);
    setShownByData(*data, shown);
    Q_EMIT visibilityChanged(data, shown);
}

void DataListWidget::keyPressEvent(QKeyEvent* event)
{
    if ((event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace) && state() != EditingState &&
        !selection().isEmpty())
        return Q_EMIT removeRequested(selection());
    if (event->key() == Qt::Key_F2 && currentItem() && state() != EditingState)
        return editItem(currentItem(), 0);
    QTreeWidget::keyPressEvent(event);
}

void DataListWidget::showContextMenu(const QPoint& position)
{
    QTreeWidgetItem* item = itemAt(position);
    if (!item)
        return;
    if (!item->isSelected())
        select(DataList(std::vector<Data*>{ dataOf(item) }));
    QMenu menu(this);
    menu.addAction(tr("Show"), this, [this] { setSelectionShown(true); });
    menu.addAction(tr("Hide"), this, [this] { setSelectionShown(false); });
    menu.addAction(tr("Rename"), this, [this, item] { editItem(item, 0); })->setShortcut(Qt::Key_F2);
    menu.addAction(tr("Remove"), this, [this] { Q_EMIT removeRequested(selection()); })
      ->setShortcut(QKeySequence::Delete);
    menu.exec(viewport()->mapToGlobal(position));
}

void DataListWidget::setSelectionShown(bool shown)
{
    for (int i = 0; i < topLevelItemCount(); ++i)
        if (topLevelItem(i)->isSelected())
            topLevelItem(i)->setCheckState(0, shown ? Qt::Checked : Qt::Unchecked);
}

DataList DataListWidget::selection() const
{
    DataList selected;
    for (int i = 0; i < topLevelItemCount(); ++i)
        if (topLevelItem(i)->isSelected())
            selected.add(dataOf(topLevelItem(i)));
    return selected;
}

void DataListWidget::select(const DataList& data)
{
    QSignalBlocker blocker(this);
    for (int i = 0; i < topLevelItemCount(); ++i)
    {
        const auto& items = data.items();
        topLevelItem(i)->setSelected(std::find(items.begin(), items.end(), dataOf(topLevelItem(i))) != items.end());
    }
    blocker.unblock();
    Q_EMIT selectionChanged(selection());
}

} // namespace Kelvaros
