#include "visualization/InsertionReadoutWidget.h"

#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

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

QString styleOf(ToleranceGrade grade)
{
    if (grade == ToleranceGrade::None)
        return {};
    const Eigen::Vector3d c = gradeColor(grade) * 255.0;
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
    const InsertionTolerance defaults;
    m_toleranceMm = toleranceBox(defaults.mm, " mm", this);
    m_toleranceDegrees = toleranceBox(defaults.degrees, QString::fromUtf8(" \u00b0"), this);
    auto* tolerances = new QHBoxLayout;
    tolerances->addWidget(new QLabel(tr("Tolerance"), this));
    tolerances->addWidget(m_toleranceMm);
    tolerances->addWidget(m_toleranceDegrees);
    layout->addLayout(tolerances);

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

void InsertionReadoutWidget::onTick()
{
    // Between samples only the turn to stale changes what is shown.
    if (m_readout.state != InsertionReadout::State::Stale && sinceLastSampleUs() >= InsertionReadout::kStaleAfterUs)
        refresh(sinceLastSampleUs());
}

void InsertionReadoutWidget::refresh(int64_t sinceLastSampleUs)
{
    ToolSnapshot tool = m_tool;
    tool.sinceLastSampleUs = sinceLastSampleUs;
    m_readout = computeInsertionReadout(tool, m_entry, m_target, m_region, tolerance());
    const std::vector<InsertionReadoutLine> lines = readoutLines(m_readout);
    for (size_t i = 0; i < m_labels.size(); ++i)
    {
        const bool shown = i < lines.size();
        m_labels[i]->setVisible(shown);
        m_labels[i]->setText(shown ? QString::fromStdString(lines[i].text) : QString());
        m_labels[i]->setStyleSheet(shown ? styleOf(lines[i].grade) : QString());
    }
    emit readoutChanged(m_readout);
}

} // namespace Kelvaros
