#pragma once

#include <QTreeWidget>

#include "core/Signal.h"
#include "lib/DataList.h"

class QTimer;

namespace Kelvaros
{

class ApplicationController;

/// The application's data as a list: name, kind and, for streams, their state. The selection decides which
/// algorithms fit. Main thread only.
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

private:
    void rebuild();
    void refreshStates();

    ApplicationController& m_app;
};

} // namespace Kelvaros
