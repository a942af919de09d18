#include "visualization/InsertionReadoutWidget.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include "visualization/BreachReadingBoard.h"

namespace Kelvaros
{
namespace
{
// Often enough that "stale" shows within a tenth of a second of the threshold.
constexpr int kTickMs = 100;

QDoubleSpinBox* toleranceBox(double value, const QString& suffix, QWidget* parent)
{
    auto* box = new QDoubleSpinBox(parent);
    box->setRange(0.1, 50.0);
    box->setSingleStep(0.5);
    box->setDecimals(1);
    box->setValue(value);
    box->setSuffix(suffix);
    return box;
}

QString styleOf(const InsertionReadoutLine& line)
{
    if (line.grade == ToleranceGrade::None && !line.color)
        return {};
    const Eigen::Vector3d c = lineColor(line) * 255.0;
    return QString("color: rgb(%1, %2, %3); font-weight: bold;").arg(int(c.x())).arg(int(c.y())).arg(int(c.z()));
}
} // namespace

InsertionReadoutWidget::InsertionReadoutWidget(QWidget* parent) : QWidget(parent), m_timer(new QTimer(this))
{
    auto* layout = new QVBoxLayout(this);
    for (QLabel*& label : m_labels)
    {
        label = new QLabel(this);
        layout->addWidget(label);
    }
    // Made after the labels, so that a search of the children meets the value labels first, top to bottom.
    m_tolerances = new QWidget(this);
    const InsertionTolerance defaults;
    m_toleranceMm = toleranceBox(defaults.mm, " mm", m_tolerances);
    m_toleranceDegrees = toleranceBox(defaults.degrees, QString::fromUtf8(" \u00b0"), m_tolerances);
    auto* tolerances = new QHBoxLayout(m_tolerances);
    tolerances->setContentsMargins(0, 0, 0, 0);
    tolerances->addWidget(new QLabel(tr("Tolerance"), m_tolerances));
    tolerances->addWidget(m_toleranceMm);
    tolerances->addWidget(m_toleranceDegrees);
    layout->addWidget(m_tolerances);
    m_tolerances->hide();

    const auto recompute = [this] { refresh(sinceLastSampleUs()); };
    connect(m_toleranceMm, qOverload<double>(&QDoubleSpinBox::valueChanged), this, recompute);
    connect(m_toleranceDegrees, qOverload<double>(&QDoubleSpinBox::valueChanged), this, recompute);
    connect(m_timer, &QTimer::timeout, this, &InsertionReadoutWidget::onTick);
    refresh(sinceLastSampleUs());
}

InsertionReadoutWidget::~InsertionReadoutWidget() = default;

InsertionTolerance InsertionReadoutWidget::tolerance() const
{
    return { m_toleranceMm->value(), m_toleranceDegrees->value() };
}

void InsertionReadoutWidget::setPath(const Eigen::Vector3d& entry, const Eigen::Vector3d& target,
                                     const std::optional<Eigen::AlignedBox3d>& region)
{
    m_entry = entry;
    m_target = target;
    m_region = region;
    m_pathSet = true;
    m_tolerances->show();
    refresh(sinceLastSampleUs());
}

void InsertionReadoutWidget::onSample(const ToolSnapshot& tool)
{
    m_tool = tool;
    m_sinceSample.start();
    if (!m_timer->isActive())
        m_timer->start(kTickMs);
    refresh(0);
}

int64_t InsertionReadoutWidget::sinceLastSampleUs() const
{
    // Before the first sample nothing is known: as stale as it gets.
    return m_sinceSample.isValid() ? m_sinceSample.nsecsElapsed() / 1000 : InsertionReadout::kStaleAfterUs;
}

void InsertionReadoutWidget::setBreachSource(const Data* stream, const std::string& toolId)
{
    m_breachStream = stream;
    m_breachTool = toolId;
}

void InsertionReadoutWidget::onTick()
{
    // Between samples only the turn to stale changes what is shown. The breach warning counts the age of the same
    // samples from its own listener, a moment apart: its reading is asked again until it turned stale too.
    const bool breachFresh = m_readout.breach && m_readout.breach->judgement.state != FigureState::Stale;
    if ((m_readout.state != InsertionReadout::State::Stale || breachFresh) &&
        sinceLastSampleUs() >= InsertionReadout::kStaleAfterUs)
        refresh(sinceLastSampleUs());
}

std::vector<InsertionReadoutLine> InsertionReadoutWidget::shownLines() const
{
    if (m_pathSet)
        return readoutLines(m_readout);
    const std::optional<InsertionReadoutLine> breach = breachLine(m_readout);
    return breach ? std::vector<InsertionReadoutLine>{ *breach } : std::vector<InsertionReadoutLine>{};
}

void InsertionReadoutWidget::refresh(int64_t sinceLastSampleUs)
{
    ToolSnapshot tool = m_tool;
    tool.sinceLastSampleUs = sinceLastSampleUs;
    m_readout = computeInsertionReadout(tool, m_entry, m_target, m_region, tolerance());
    if (m_breachStream)
        m_readout.breach = BreachReadingBoard::instance().reading(m_breachStream, m_breachTool);
    const std::vector<InsertionReadoutLine> lines = shownLines();
    for (size_t i = 0; i < m_labels.size(); ++i)
    {
        const bool shown = i < lines.size();
        m_labels[i]->setVisible(shown);
        m_labels[i]->setText(shown ? QString::fromStdString(lines[i].text) : QString());
        m_labels[i]->setStyleSheet(shown ? styleOf(lines[i]) : QString());
    }
    emit readoutChanged(m_readout);
}

} // namespace Kelvaros
