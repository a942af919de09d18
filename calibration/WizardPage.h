#pragma once

#include <memory>

#include <QObject>
#include <QString>

namespace Ui
{
class TrackingToolCalibrationWizard;
}

class QMovie;

namespace Kelvaros
{

class ImageView3D;

/// One step of the tool calibration wizard. The pages share the wizard's form: before a page is activated the
/// wizard hides every optional widget, and the page shows the ones it needs, sets the instruction text and plays
/// its animation in the form's GIF label, scaled to the label's width. A page is complete when the wizard may go
/// on from it. Main thread only.
class WizardPage : public QObject
{
    Q_OBJECT

public:
    /// `form` is the wizard's form, which outlives the page; `moviePath` the page's animation (a Qt resource), or
    /// empty for a page without one.
    WizardPage(Ui::TrackingToolCalibrationWizard& form, const QString& moviePath, bool complete,
               QObject* parent = nullptr);
    ~WizardPage() override;

    virtual void activate() {}
    /// Stops the animation: a hidden page must not keep decoding large frames.
    virtual void deactivate();
    /// The step's name in the wizard's step labels.
    [[nodiscard]] virtual QString title() const { return {}; }
    [[nodiscard]] virtual bool isComplete() const { return m_complete; }
    virtual void setComplete(bool complete) { m_complete = complete; }

    /// The 3D view the page shows (null: none).
    void setView(ImageView3D* view) { m_view = view; }
    /// Scales the animation to `width` pixels across, keeping its aspect ratio (nothing before a frame is known).
    void scaleMovieTo(int width);

protected:
    /// Sets the instruction, plays the animation in the GIF label at the label's width and shows the 3D view.
    void showPage(const QString& instruction);
    [[nodiscard]] Ui::TrackingToolCalibrationWizard& form() const { return *m_form; }

private:
    Ui::TrackingToolCalibrationWizard* m_form;
    ImageView3D* m_view = nullptr;
    bool m_complete;
    std::unique_ptr<QMovie> m_movie;
};

} // namespace Kelvaros
