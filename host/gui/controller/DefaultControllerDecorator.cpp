#include "gui/controller/DefaultControllerDecorator.h"

#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/Log.h"
#include "lib/AlgorithmController.h"

namespace Kelvaros
{

DefaultControllerDecorator::DefaultControllerDecorator(AlgorithmController* controller, QWidget* parent)
  : QWidget(parent), m_controller(controller), m_titleLabel(new QLabel(this)), m_closeButton(new QToolButton(this))
{
    auto* titleBar = new QFrame(this);
    titleBar->setObjectName("frame_titleBar");
    titleBar->setFrameShape(QFrame::StyledPanel);
    titleBar->setAutoFillBackground(true);
    titleBar->setBackgroundRole(QPalette::Midlight);
    auto* titleRow = new QHBoxLayout(titleBar);
    titleRow->setContentsMargins(6, 2, 2, 2);
    QFont bold = m_titleLabel->font();
    bold.setBold(true);
    m_titleLabel->setFont(bold);
    m_titleLabel->setObjectName("label_title");
    m_closeButton->setObjectName("toolButton_close");
    m_closeButton->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    m_closeButton->setAutoRaise(true);
    m_closeButton->setToolTip(tr("Close"));
    titleRow->addWidget(m_titleLabel, 1);
    titleRow->addWidget(m_closeButton);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(titleBar);
    if (auto* panel = dynamic_cast<QWidget*>(controller))
        column->addWidget(panel);
    else
        Log::log(Log::Error, "DefaultControllerDecorator", "A panel that is not a widget cannot be shown");
    // Extra height goes below the panel, not between its rows.
    column->addStretch(1);

    m_titleLabel->setText(title());
    connect(m_closeButton, &QToolButton::clicked, this, [this] { m_controller->closeAlgorithm(); });
}

DefaultControllerDecorator::~DefaultControllerDecorator() = default;

void DefaultControllerDecorator::setTitleOverride(const QString& title)
{
    m_titleOverride = title;
    m_titleLabel->setText(this->title());
}

QString DefaultControllerDecorator::title() const
{
    return m_titleOverride.isEmpty() ? QString::fromStdString(m_controller->title()) : m_titleOverride;
}

} // namespace Kelvaros
