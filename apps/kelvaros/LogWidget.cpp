#include "LogWidget.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <QVBoxLayout>

namespace Kelvaros
{

LogWidget::LogWidget(QWidget* parent) : QWidget(parent), m_level(new QComboBox(this)), m_view(new QPlainTextEdit(this))
{
    for (int level = Log::Debug; level <= Log::Error; ++level)
        m_level->addItem(Log::levelName(level), level);
    m_level->setCurrentIndex(Log::Info - Log::Debug);
    m_view->setReadOnly(true);
    m_view->setMaximumBlockCount(kMaxLines);
    m_view->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    m_view->setFont(QFont("Monospace", 9));

    auto* bar = new QHBoxLayout;
    bar->addWidget(new QLabel(tr("Show from level"), this));
    bar->addWidget(m_level);
    bar->addStretch();
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addLayout(bar);
    layout->addWidget(m_view);

    connect(m_level, qOverload<int>(&QComboBox::currentIndexChanged), this, &LogWidget::showAll);
    m_sink = Log::addSink(
      [this](const Log::Record& record)
      {
          std::lock_guard<std::mutex> lock(m_mutex);
          if (m_pending.size() < size_t(kMaxLines))
              m_pending.push_back(record);
      });
    auto* timer = new QTimer(this);
    connect(timer, &QTimer::timeout, this, &LogWidget::takePending);
    timer->start(100);
}

LogWidget::~LogWidget()
{
    Log::removeSink(m_sink);
}

void LogWidget::setMinimumLevel(int level)
{
    m_level->setCurrentIndex(m_level->findData(level));
}

QString LogWidget::text()
{
    takePending();
    return m_view->toPlainText();
}

void LogWidget::takePending()
{
    std::vector<Log::Record> pending;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        pending.swap(m_pending);
    }
    for (auto& record : pending)
    {
        m_records.push_back(std::move(record));
        if (m_records.size() > size_t(kMaxLines))
            m_records.pop_front();
        append(m_records.back());
    }
}

void LogWidget::showAll()
{
    m_view->clear();
    for (const auto& record : m_records)
        append(record);
}

void LogWidget::append(const Log::Record& record)
{
    if (record.level < m_level->currentData().toInt())
        return;
    const QString category = record.category.empty() ? QString() : QString::fromStdString(record.category) + ": ";
    m_view->appendPlainText(
      QString("[%1] %2%3").arg(Log::levelName(record.level), category, QString::fromStdString(record.message)));
}

} // namespace Kelvaros
