#include "calibration/WizardPage.h"

#include <QMovie>

#include "gui/view/ImageView3D.h"

#include "ui_TrackingToolCalibrationWizard.h"

namespace Kelvaros
{

WizardPage::WizardPage(Ui::TrackingToolCalibrationWizard& form, const QString& moviePath, bool complete,
                       QObject* parent)
  : QObject(parent),
    m_form(&form),
    m_complete(complete),
    m_movie(moviePath.isEmpty() ? nullptr : std::make_unique<QMovie>(moviePath))
{
    // The first frame's size is known only once it is decoded, which may be after the page was shown.
    if (m_movie)
        connect(m_movie.get(), &QMovie::resized, this, [this] { scaleMovieTo(m_form->gifLabel->width()); });
}

WizardPage::~WizardPage() = default;

void WizardPage::deactivate()
{
    if (m_movie)
        m_movie->stop();
}

void WizardPage::scaleMovieTo(int width)
{
    if (!m_movie)
        return;
    const QSize frame = m_movie->currentImage().size();
    if (frame.isEmpty() || width <= 0)
        return;
    const double f = double(width) / frame.width();
    const QSize scaled = frame.scaled(int(frame.width() * f), int(frame.height() * f), Qt::KeepAspectRatio);
    if (scaled != m_movie->scaledSize())
        m_movie->setScaledSize(scaled);
}

void WizardPage::showPage(const QString& instruction)
{
    m_form->titleLabel->setText(instruction);
    if (m_view)
        m_view->setVisible(true);
    if (!m_movie)
        return;
    m_movie->start();
    scaleMovieTo(m_form->gifLabel->width());
    m_form->gifLabel->setMovie(m_movie.get());
    m_form->gifLabel->show();
}

} // namespace Kelvaros
