#pragma once

#include <functional>
#include <map>
#include <memory>
#include <vector>

#include <QElapsedTimer>
#include <QImage>
#include <QOpenGLWidget>

#include "core/Signal.h"
#include "gui/view/View.h"

namespace Kelvaros
{

class GlView;
class Interaction;
class Manipulator;

/// A widget that shows one GlView (owned) and passes the mouse and keyboard to an interaction handler (owned),
/// after offering presses to the view's overlays.
///
/// Repaints are coalesced: requestUpdate() may be called any number of times (it is what the GlView's redraw
/// signal calls); the widget paints at most once per display frame, with whatever the scene holds then.
///
/// Main thread only. The application must call prepareApplication() before it creates its QApplication.
class KELVAROS_API InteractiveView
  : public QOpenGLWidget
  , public GUI::View
{
    Q_OBJECT

public:
    InteractiveView(std::unique_ptr<GlView> glView, QWidget* parent = nullptr);
    ~InteractiveView() override;

    /// Shares one OpenGL context group between all views (so volumes are uploaded once) and asks for 3.3 core
    /// contexts. Call before the QApplication exists.
    static void prepareApplication();

    [[nodiscard]] GlView& glView() const { return *m_glView; }
    /// The handler of mouse and keyboard events (null: none).
    [[nodiscard]] Interaction* interactionHandler() const { return m_interaction.get(); }
    void setInteractionHandler(std::unique_ptr<Interaction> interaction);

    /// Manipulators (not owned) are offered presses, double clicks and keys before the interaction handler, the
    /// most recently added first; the one that takes a press gets that drag's moves and release. A manipulator
    /// added twice is kept once; a destroyed one is dropped.
    void addManipulator(Manipulator* manipulator);
    void removeManipulator(const Manipulator* manipulator);
    [[nodiscard]] const std::vector<Manipulator*>& manipulators() const { return m_manipulators; }

    /// Asks for a repaint; many requests within one display frame give one paint.
    void requestUpdate();
    /// Paints so far (for tests and frame statistics).
    [[nodiscard]] int paintCount() const { return m_paintCount; }

    void setVisibleData(const DataList& data) override;

    /// Renders the view offscreen at any size (in the shared context group), independent of the widget's size.
    [[nodiscard]] QImage renderToImage(const QSize& size) const;

signals:
    /// After each paint, with the context still current (frame statistics).
    void painted();

protected:
    void paintGL() override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    /// Offers an event to the manipulators, most recent first; true when one took it. `taker` receives it (null when
    /// it unregistered itself meanwhile).
    bool offerToManipulators(const std::function<bool(Manipulator&)>& offer, Manipulator** taker = nullptr);

    std::unique_ptr<GlView> m_glView;
    std::unique_ptr<Interaction> m_interaction;
    std::vector<Manipulator*> m_manipulators;
    std::map<const Manipulator*, SignalConnection> m_manipulatorConnections;
    /// The manipulator that took the current drag.
    Manipulator* m_grabbed = nullptr;
    SignalConnection m_redrawConnection;
    QElapsedTimer m_sinceLastPaint;
    bool m_updatePending = false;
    int m_paintCount = 0;
};

} // namespace Kelvaros
