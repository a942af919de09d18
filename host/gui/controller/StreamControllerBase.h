#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include <QElapsedTimer>
#include <QWidget>

#include "core/Export.h"
#include "lib/AlgorithmController.h"

class QLabel;
class QTimer;
class QVBoxLayout;

namespace Kelvaros
{

class PropertyWidget;
class Stream;

/// The base of stream panels: on top a line with the stream's state and its sample rate (refreshed twice a
/// second), below it what the creating algorithm said of its last run (Algorithm::statusMessage, in red after a
/// failure; hidden while empty), with `showProperties` the stream's parameters in a PropertyWidget below that, then
/// whatever the derived panel adds to layout(). Main thread.
class KELVAROS_API StreamControllerBase
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    /// A panel of an algorithm that creates a stream (a StreamAlgorithmBase); not owned, outlives the panel.
    StreamControllerBase(Algorithm* algorithm, bool showProperties);
    /// A panel of a stream itself (its default panel): the panel owns a plain algorithm wrapping the stream,
    /// whose title is the stream's name. The stream is not owned and outlives the panel.
    StreamControllerBase(Stream* stream, bool showProperties);
    ~StreamControllerBase() override;

    /// Builds the status line and, with showProperties and a stream, the property widget; derived panels call
    /// it first.
    void init() override;

    /// The algorithm's stream; null when it has none (yet, or any more).
    [[nodiscard]] Stream* stream() const;
    /// The stream's property widget; null without showProperties, before init() or without a stream at init().
    [[nodiscard]] PropertyWidget* propertyWidget() const { return m_propertyWidget; }
    /// The panel's box layout: the one a derived panel set on itself before init() (its form's vertical
    /// layout), else one made by init(); null before init().
    [[nodiscard]] QVBoxLayout* layout() const { return m_layout; }
    /// "Running", "Closed", ... or "No stream".
    [[nodiscard]] QLabel* stateLabel() const { return m_stateLabel; }
    /// Samples per second over the last refresh period.
    [[nodiscard]] QLabel* rateLabel() const { return m_rateLabel; }
    /// The creating algorithm's sentence about its last run: why no stream came, or what the new one does.
    [[nodiscard]] QLabel* messageLabel() const { return m_messageLabel; }

private:
    StreamControllerBase(std::unique_ptr<Algorithm> ownedAlgorithm, bool showProperties);
    void updateStatus();
    void showAlgorithmMessage();

    // The wrapper of a panel built on a stream; constructed before the bases see its pointer.
    std::unique_ptr<Algorithm> m_ownedAlgorithm;
    bool m_showProperties;
    QVBoxLayout* m_layout = nullptr;
    QLabel* m_stateLabel = nullptr;
    QLabel* m_rateLabel = nullptr;
    QLabel* m_messageLabel = nullptr;
    PropertyWidget* m_propertyWidget = nullptr;
    QTimer* m_statusTimer = nullptr;
    QElapsedTimer m_sinceLastStatus;
    // Counted on the stream's delivery thread, read on the main thread.
    std::atomic<std::uint64_t> m_samples{ 0 };
    std::uint64_t m_samplesAtLastStatus = 0;
};

} // namespace Kelvaros
