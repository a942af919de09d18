#pragma once

#include <map>
#include <utility>
#include <vector>

#include <QColor>
#include <QStringList>
#include <QWidget>

#include <Eigen/Core>

#include "core/Signal.h"

class QPushButton;
class QTableWidget;
class QTableWidgetItem;

namespace Kelvaros
{

class DisplayWidgetMulti;
class PointCorrespondences;
class PointsOnData;
class PointsOnDataManipulator;

/// The pairs of a PointCorrespondences as a table: one row per index with the pair's number, each side's point
/// (world, mm) and name (editable), and columns a panel may add (registration errors, say) with its own text and
/// colour per row. Buttons add a point to either side (startPointCreation on that side's manipulator) and remove
/// the selected pair; selecting a row moves the slice views to its points. Rows follow the point sets, so a pair
/// that has only one side yet shows the other empty.
///
/// Main thread only; the correspondences and the manipulators must outlive the widget.
class KELVAROS_API PointCorrespondencesWidget
  : public QWidget
  , public SignalReceiver
{
    Q_OBJECT

public:
    enum Column
    {
        ColumnIndex,
        ColumnFirstPoint,
        ColumnFirstName,
        ColumnSecondPoint,
        ColumnSecondName,
        /// Extra columns follow.
        ColumnCount
    };

    PointCorrespondencesWidget(PointCorrespondences& correspondences, PointsOnDataManipulator& first,
                               PointsOnDataManipulator& second, QWidget* parent = nullptr);
    ~PointCorrespondencesWidget() override;

    /// Shows both manipulators' handles in the display's views and fills the table.
    void init(DisplayWidgetMulti* display);

    /// Adds columns after the fixed ones, with these headers (replacing earlier extra columns).
    void setExtraColumns(const QStringList& headers);
    /// Text and colour (invalid: the table's default) of extra column `column` (0 the first extra one) in row
    /// `row`; kept until set again, also when the points change.
    void setExtraText(int row, int column, const QString& text, const QColor& color = QColor());

    [[nodiscard]] QTableWidget* table() const { return m_table; }
    [[nodiscard]] QPushButton* addFirstButton() const { return m_addFirst; }
    [[nodiscard]] QPushButton* addSecondButton() const { return m_addSecond; }
    [[nodiscard]] QPushButton* removeButton() const { return m_remove; }
    /// The selected row; -1 for none.
    [[nodiscard]] int selectedPair() const;
    void selectPair(int row);

signals:
    /// The rows were filled anew after the points changed.
    void pairsChanged();
    void pairSelected(int row);

private:
    void refresh();
    /// The point and name cells of one side; `world` holds that side's points in world coordinates.
    void fillSide(int row, const PointsOnData& points, const std::vector<Eigen::Vector3d>& world, int pointColumn);
    void onRemove();
    void onSelectionChanged();
    void onItemChanged(QTableWidgetItem* item);
    void setCell(int row, int column, const QString& text, bool editable);

    PointCorrespondences& m_correspondences;
    PointsOnDataManipulator& m_first;
    PointsOnDataManipulator& m_second;
    QTableWidget* m_table;
    QPushButton* m_addFirst;
    QPushButton* m_addSecond;
    QPushButton* m_remove;
    QStringList m_extraHeaders;
    std::map<std::pair<int, int>, std::pair<QString, QColor>> m_extra;
    bool m_filling = false;
};

} // namespace Kelvaros
