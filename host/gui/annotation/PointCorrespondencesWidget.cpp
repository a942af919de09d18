#include "gui/annotation/PointCorrespondencesWidget.h"

#include <algorithm>

#include <QHBoxLayout>
#include <QHeaderView>
#include <QPushButton>
#include <QTableWidget>
#include <QVBoxLayout>

#include "gui/annotation/PointsOnDataManipulator.h"
#include "lib/points/PointCorrespondences.h"
#include "lib/points/PointsOnData.h"

namespace Kelvaros
{

namespace
{

QString pointText(const Eigen::Vector3d& p)
{
    return QString("%1, %2, %3").arg(p.x(), 0, 'f', 1).arg(p.y(), 0, 'f', 1).arg(p.z(), 0, 'f', 1);
}

} // namespace

PointCorrespondencesWidget::PointCorrespondencesWidget(PointCorrespondences& correspondences,
                                                       PointsOnDataManipulator& first, PointsOnDataManipulator& second,
                                                       QWidget* parent)
  : QWidget(parent),
    m_correspondences(correspondences),
    m_first(first),
    m_second(second),
    m_table(new QTableWidget(this)),
    m_addFirst(new QPushButton(tr("Add first point"), this)),
    m_addSecond(new QPushButton(tr("Add second point"), this)),
    m_remove(new QPushButton(tr("Remove pair"), this))
{
    m_table->setObjectName("tableWidget_pairs");
    m_addFirst->setObjectName("pushButton_addFirst");
    m_addSecond->setObjectName("pushButton_addSecond");
    m_remove->setObjectName("pushButton_remove");
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->verticalHeader()->setVisible(false);
    m_table->horizontalHeader()->setStretchLastSection(true);
    setExtraColumns({});

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_addFirst);
    buttons->addWidget(m_addSecond);
    buttons->addWidget(m_remove);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_table);
    layout->addLayout(buttons);

    connect(m_addFirst, &QPushButton::clicked, this, [this] { m_first.startPointCreation(); });
    connect(m_addSecond, &QPushButton::clicked, this, [this] { m_second.startPointCreation(); });
    connect(m_remove, &QPushButton::clicked, this, &PointCorrespondencesWidget::onRemove);
    connect(m_table, &QTableWidget::itemSelectionChanged, this, &PointCorrespondencesWidget::onSelectionChanged);
    connect(m_table, &QTableWidget::itemChanged, this, &PointCorrespondencesWidget::onItemChanged);

    for (PointsOnData* points : { &m_correspondences.first(), &m_correspondences.second() })
    {
        const auto refreshLater = [this](int, int) { refresh(); };
        points->signalPointsAdded.connect(this, refreshLater);
        points->signalPointsRemoved.connect(this, refreshLater);
        points->signalPointsChanged.connect(this, refreshLater);
        points->signalPointsRenamed.connect(this, refreshLater);
    }
}

PointCorrespondencesWidget::~PointCorrespondencesWidget()
{
    disconnectAll();
}

void PointCorrespondencesWidget::init(DisplayWidgetMulti* display)
{
    m_first.init(display);
    m_second.init(display);
    refresh();
}

void PointCorrespondencesWidget::setExtraColumns(const QStringList& headers)
{
    m_extraHeaders = headers;
    m_extra.clear();
    QStringList all{ tr("#"), tr("First point"), tr("First name"), tr("Second point"), tr("Second name") };
    all += headers;
    m_table->setColumnCount(all.size());
    m_table->setHorizontalHeaderLabels(all);
    refresh();
}

void PointCorrespondencesWidget::setExtraText(int row, int column, const QString& text, const QColor& color)
{
    if (column < 0 || column >= m_extraHeaders.size() || row < 0)
        return;
    m_extra[{ row, column }] = { text, color };
    if (row >= m_table->rowCount())
        return;
    const bool filling = std::exchange(m_filling, true);
    setCell(row, ColumnCount + column, text, false);
    if (color.isValid())
        m_table->item(row, ColumnCount + column)->setForeground(color);
    m_filling = filling;
}

int PointCorrespondencesWidget::selectedPair() const
{
    const QList<QTableWidgetItem*> selected = m_table->selectedItems();
    return selected.isEmpty() ? -1 : selected.front()->row();
}

void PointCorrespondencesWidget::selectPair(int row)
{
    if (row < 0 || row >= m_table->rowCount())
        m_table->clearSelection();
    else
        m_table->selectRow(row);
}

void PointCorrespondencesWidget::refresh()
{
    const int selected = selectedPair();
    m_filling = true;
    const int rows = std::max(m_correspondences.first().size(), m_correspondences.second().size());
    m_table->setRowCount(rows);
    const std::vector<Eigen::Vector3d> firstWorld = m_first.exportPoints();
    const std::vector<Eigen::Vector3d> secondWorld = m_second.exportPoints();
    for (int row = 0; row < rows; ++row)
    {
        setCell(row, ColumnIndex, QString::number(row + 1), false);
        fillSide(row, m_first.pointHandler(), firstWorld, ColumnFirstPoint);
        fillSide(row, m_second.pointHandler(), secondWorld, ColumnSecondPoint);
        for (int column = 0; column < m_extraHeaders.size(); ++column)
            setCell(row, ColumnCount + column, QString(), false);
    }
    m_filling = false;
    for (const auto& [cell, value] : m_extra)
        setExtraText(cell.first, cell.second, value.first, value.second);
    if (selected >= 0 && selected < rows)
        m_table->selectRow(selected);
    emit pairsChanged();
}

void PointCorrespondencesWidget::fillSide(int row, const PointsOnData& points,
                                          const std::vector<Eigen::Vector3d>& world, int pointColumn)
{
    const bool present = row < int(world.size());
    setCell(row, pointColumn, present ? pointText(world[size_t(row)]) : QString(), false);
    setCell(row, pointColumn + 1, present ? QString::fromStdString(points.name(row)) : QString(), present);
}

void PointCorrespondencesWidget::setCell(int row, int column, const QString& text, bool editable)
{
    QTableWidgetItem* item = m_table->item(row, column);
    if (!item)
    {
        item = new QTableWidgetItem;
        m_table->setItem(row, column, item);
    }
    item->setText(text);
    item->setForeground(m_table->palette().text());
    const Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    item->setFlags(editable ? flags | Qt::ItemIsEditable : flags);
}

void PointCorrespondencesWidget::onRemove()
{
    const int row = selectedPair();
    if (row < 0)
        return;
    m_correspondences.first().remove(row, row + 1);
    m_correspondences.second().remove(row, row + 1);
}

void PointCorrespondencesWidget::onSelectionChanged()
{
    const int row = selectedPair();
    if (m_filling || row < 0)
        return;
    m_first.goToPoint(row);
    m_second.goToPoint(row);
    emit pairSelected(row);
}

void PointCorrespondencesWidget::onItemChanged(QTableWidgetItem* item)
{
    if (m_filling)
        return;
    PointsOnData* points = nullptr;
    if (item->column() == ColumnFirstName)
        points = &m_correspondences.first();
    else if (item->column() == ColumnSecondName)
        points = &m_correspondences.second();
    if (points && item->row() < points->size())
        points->setName(item->text().toStdString(), item->row());
}

} // namespace Kelvaros
