#include "gui/controller/StreamControllerBase.h"

#include <utility>

#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "core/Log.h"
#include "core/Properties.h"
#include "gui/controller/PropertyWidget.h"
#include "lib/Algorithm.h"
#include "stream/Stream.h"
#include "stream/StreamAlgorithm.h"

namespace Kelvaros
{

namespace
{
constexpr int kStatusPeriodMs = 500;

/// Lets a panel built on a stream be an algorithm's panel like any other.
class StreamHolder final : public StreamAlgorithm
{
public:
    explicit StreamHolder(Stream* stream) : m_stream(stream)
    {
        setFactoryInfo({ std::string(), stream->name(), DataList{ stream } });
    }

    void compute() override {}
    [[nodiscard]] Stream* stream() const override { return m_stream; }
    void releaseStream() override { m_stream = nullptr; }

protected:
    std::unique_ptr<Stream> handOverStream() override { return nullptr; }

private:
    Stream* m_stream;
};

/// Installs the default stream panel while this library is loaded.
struct DefaultStreamPanel
{
    DefaultStreamPanel()
    {
        Stream::setDefaultControllerFactory([](Stream& stream)
                                            { return std::make_unique<StreamControllerBase>(&stream, true); });
    }
    ~DefaultStreamPanel() { Stream::setDefaultControllerFactory(nullptr); }
};
const DefaultStreamPanel installDefaultStreamPanel;
} // namespace

StreamControllerBase::StreamControllerBase(Algorithm* algorithm, bool showProperties)
  : QWidget(nullptr), AlgorithmController(algorithm), m_showProperties(showProperties)
{
}

StreamControllerBase::StreamControllerBase(Stream* stream, bool showProperties)
  : StreamControllerBase(std::make_unique<StreamHolder>(stream), showProperties)
{
}

StreamControllerBase::StreamControllerBase(std::unique_ptr<Algorithm> ownedAlgorithm, bool showProperties)
  : StreamControllerBase(ownedAlgorithm.get(), showProperties)
{
    m_ownedAlgorithm = std::move(ownedAlgorithm);
}

StreamControllerBase::~StreamControllerBase()
{
    disconnectAll();
}

void StreamControllerBase::init()
{
    // A derived panel may have built its form on this widget already; the status goes on top of its layout.
    QLayout* existing = QWidget::layout();
    m_layout = existing ? qobject_cast<QVBoxLayout*>(existing) : new QVBoxLayout(this);
    if (!m_layout)
    {
        Log::log(Log::Warning, "StreamControllerBase", "The panel's layout is not vertical: no stream status shown");
        return;
    }
    auto* statusRow = new QHBoxLayout;
    m_stateLabel = new QLabel(this);
    m_stateLabel->setObjectName("label_streamState");
    m_rateLabel = new QLabel(this);
    m_rateLabel->setObjectName("label_streamRate");
    m_rateLabel->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    statusRow->addWidget(m_stateLabel, 1);
    statusRow->addWidget(m_rateLabel);
    m_layout->insertLayout(0, statusRow);
    m_messageLabel = new QLabel(this);
    m_messageLabel->setObjectName("label_creationStatus");
    m_messageLabel->setWordWrap(true);
    m_messageLabel->hide();
    m_layout->insertWidget(1, m_messageLabel);

    if (Stream* s = stream())
    {
        // Delivery thread: only count, the timer below shows it.
        s->signalStreamData.connect(this, [this](const std::shared_ptr<const StreamData>&) { ++m_samples; });
        if (m_showProperties)
        {
            m_propertyWidget = new PropertyWidget(s, this);
            Properties properties;
            s->configuration(&properties);
            m_propertyWidget->configure(properties);
            m_layout->insertWidget(2, m_propertyWidget);
        }
    }
    m_statusTimer = new QTimer(this);
    connect(m_statusTimer, &QTimer::timeout, this, &StreamControllerBase::updateStatus);
    m_statusTimer->start(kStatusPeriodMs);
    m_sinceLastStatus.start();
    updateStatus();
}

void StreamControllerBase::showAlgorithmMessage()
{
    // A panel of a stream itself has nothing to say beyond the state; a creation that failed says why, and how to
    // get a stream after all.
    const Algorithm* creator = algorithm();
    const QString message = creator ? QString::fromStdString(creator->statusMessage()) : QString();
    m_messageLabel->setVisible(!message.isEmpty());
    m_messageLabel->setText(message);
    const bool failed = creator && creator->status() != Algorithm::Success && creator->status() != Algorithm::Unknown;
    m_messageLabel->setStyleSheet(failed ? "color: rgb(180, 0, 0);" : QString());
}

Stream* StreamControllerBase::stream() const
{
    const auto* creator = dynamic_cast<const StreamAlgorithmBase*>(algorithm());
    return creator ? creator->stream() : nullptr;
}

void StreamControllerBase::updateStatus()
{
    if (!m_stateLabel)
        return;
    const Stream* s = stream();
    m_stateLabel->setText(s ? tr("State: %1").arg(Stream::stateName(s->state())) : tr("No stream"));
    showAlgorithmMessage();
    const std::uint64_t samples = m_samples.load();
    const qint64 elapsedMs = m_sinceLastStatus.restart();
    const double rate = elapsedMs > 0 ? double(samples - m_samplesAtLastStatus) * 1000.0 / double(elapsedMs) : 0.0;
    m_samplesAtLastStatus = samples;
    m_rateLabel->setText(s && s->isRunning() ? tr("%1 Hz").arg(rate, 0, 'f', 1) : QString());
}

} // namespace Kelvaros
