#include "VolumeLoadProgress.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>

#include "VolumeLoader.h"

namespace Kelvaros
{

namespace
{
// The workers' progress is read at this pace rather than sent by them, so a fast reader cannot flood the window.
constexpr int kRefreshMs = 100;
} // namespace

VolumeLoadProgress::VolumeLoadProgress(VolumeLoader& loader, QWidget* parent)
  : QWidget(parent),
    m_loader(loader),
    m_label(new QLabel(this)),
    m_bar(new QProgressBar(this)),
    m_timer(new QTimer(this))
{
    setObjectName("volumeLoadProgress");
    auto* cancel = new QPushButton(tr("Cancel"), this);
    cancel->setObjectName("cancelLoads");
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    layout->addWidget(cancel);
    m_bar->setRange(0, 100);
    m_bar->setMaximumWidth(160);
    m_timer->setInterval(kRefreshMs);
    connect(m_timer, &QTimer::timeout, this, &VolumeLoadProgress::refresh);
    connect(&m_loader, &VolumeLoader::loadsChanged, this, &VolumeLoadProgress::refresh);
    connect(cancel, &QPushButton::clicked, this,
            [this]
            {
                m_loader.cancelAll();
                refresh();
            });
    refresh();
}

void VolumeLoadProgress::refresh()
{
    const std::vector<VolumeLoader::Status> running = m_loader.running();
    setVisible(!running.empty());
    if (running.empty())
        return m_timer->stop();
    if (!m_timer->isActive())
        m_timer->start();
    const QString name = QFileInfo(QString::fromStdString(running.front().path)).fileName();
    m_label->setText(running.size() == 1 ? tr("Loading %1").arg(name)
                                         : tr("Loading %1 (and %2 more)").arg(name).arg(running.size() - 1));
    m_bar->setValue(int(running.front().percent));
}

} // namespace Kelvaros
