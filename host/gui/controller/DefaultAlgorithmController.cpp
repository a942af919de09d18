#include "gui/controller/DefaultAlgorithmController.h"

#include <utility>

#include <QApplication>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/Properties.h"
#include "gui/controller/PropertyWidget.h"
#include "lib/Algorithm.h"

namespace Kelvaros
{

DefaultAlgorithmController::DefaultAlgorithmController(Algorithm* algorithm, QWidget* parent)
  : QWidget(parent),
    AlgorithmController(algorithm),
    m_layout(new QVBoxLayout(this)),
    m_computeFunction(
      [](Algorithm* a)
      {
          a->compute();
          return a->status();
      })
{
}

DefaultAlgorithmController::DefaultAlgorithmController(Algorithm* algorithm, const std::string& title,
                                                       bool showComputeButton, bool computeOnEdit, QWidget* parent)
  : DefaultAlgorithmController(algorithm, parent)
{
    m_title = title;
    m_showComputeButton = showComputeButton;
    m_computeOnEdit = computeOnEdit;
}

DefaultAlgorithmController::~DefaultAlgorithmController()
{
    disconnectAll();
}

void DefaultAlgorithmController::init()
{
    m_propertyWidget = new PropertyWidget(algorithm(), this);
    m_layout->addWidget(m_propertyWidget);
    onAlgorithmParametersChanged();

    if (m_showComputeButton)
    {
        m_computeButton = new QPushButton(tr("Compute"), this);
        m_computeButton->setObjectName("pushButton_compute");
        m_layout->addWidget(m_computeButton);
        connect(m_computeButton, &QPushButton::clicked, this, &DefaultAlgorithmController::onCompute);
    }
    if (m_computeOnEdit)
        connect(m_propertyWidget, &PropertyWidget::edited, this, &DefaultAlgorithmController::onCompute);
    m_statusLabel = new QLabel(this);
    m_statusLabel->setObjectName("label_status");
    m_statusLabel->setWordWrap(true);
    m_layout->addWidget(m_statusLabel);
}

std::string DefaultAlgorithmController::title() const
{
    return m_title.empty() ? AlgorithmController::title() : m_title;
}

void DefaultAlgorithmController::onAlgorithmParametersChanged()
{
    if (!m_propertyWidget)
        return;
    Properties properties;
    algorithm()->configuration(&properties);
    m_propertyWidget->configure(properties);
}

void DefaultAlgorithmController::setComputeFunction(std::function<int(Algorithm*)> function)
{
    m_computeFunction = std::move(function);
}

QString DefaultAlgorithmController::statusText(int status)
{
    if (status == Algorithm::Unknown)
        return {};
    if (status == Algorithm::Success)
        return tr("Done");
    return tr("Failed (status %1): the log says why.").arg(status);
}

void DefaultAlgorithmController::onCompute()
{
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int status = m_computeFunction(algorithm());
    QApplication::restoreOverrideCursor();
    // The algorithm's own sentence says what happened and what to do; the bare status is for those without one.
    const std::string message = algorithm()->statusMessage();
    m_statusLabel->setText(message.empty() ? statusText(status) : QString::fromStdString(message));
    QPalette palette = m_statusLabel->palette();
    palette.setColor(QPalette::WindowText, status == Algorithm::Success ? QColor(0, 120, 0) : QColor(180, 0, 0));
    m_statusLabel->setPalette(palette);
    emit computed(status);
}

} // namespace Kelvaros
