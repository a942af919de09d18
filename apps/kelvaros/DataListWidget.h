#pragma once

#include <QTreeWidget>

#include "core/Signal.h"
#include "lib/DataList.h"

class QTimer;

namespace Kelvaros
{

class ApplicationController;

/// The application's data as a list: name, kind and, for streams, their state. The selection decides which
/// algorithms fit. Each item's check box shows or hides it: a volume through its ImageDisplayOptionsComponent, a
/// tracking stream through its TrackingStreamDisplayOptions (no instruments drawn while hidden), any other data
/// through visibilityChanged, for whoever draws it. A name is edited in place (F2 or a double click); the context
/// menu shows, hides, renames and removes, and Delete removes the selection (through removeRequested, so that
/// the window can ask first). Main thread only.
class DataListWidget
  : public QTreeWidget
  , public SignalReceiver
{
    Q_OBJECT

public:
    /// The application is not owned and outlives the widget.
    explicit DataListWidget(ApplicationController& app, QWidget* parent = nullptr);
    ~DataListWidget() override;

    /// The selected data, in list order.
    [[nodiscard]] DataList selection() const;
    /// Selects exactly these data.
    void select(const DataList& data);

    /// The text shown for a kind of data.
    [[nodiscard]] static QString kindName(const Data& data);

signals:
    void selectionChanged(const Kelvaros::DataList& selection);
    /// The user checked or unchecked a data item's box.
    void visibilityChanged(Kelvaros::Data* data, bool visible);
    /// The user asked to remove these data (Delete or the context menu).
    void removeRequested(const Kelvaros::DataList& data);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void rebuild();
    void refreshStates();
    void onItemChanged(QTreeWidgetItem* item);
    void showContextMenu(const QPoint& position);
    void setSelectionShown(bool shown);

    ApplicationController& m_app;
};

} // namespace Kelvaros
