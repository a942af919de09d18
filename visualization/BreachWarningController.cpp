#include "visualization/BreachWarningController.h"

#include <cmath>

#include <QCheckBox>
#include <QDoubleSpinBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/scene/GlMesh.h"
#include "gui/scene/GlPoint.h"
#include "gui/tracking/TrackingInstrumentComboBox.h"
#include "gui/view/DisplayWidgetMulti.h"
#include "gui/view/ViewGroup.h"
#include "lib/SharedImageSet.h"
#include "stream/TrackingStream.h"

#include "visualization/BreachTone.h"
#include "visualization/BreachTonePlayer.h"
#include "visualization/BreachWarningAlgorithm.h"

namespace Kelvaros
{
namespace
{
/// Often enough that a needle moving at 20 mm/s is read every millimetre.
constexpr int kReadingMs = 50;

QDoubleSpinBox* millimetres(double maximum, QWidget* parent)
{
    auto* box = new QDoubleSpinBox(parent);
    box->setRange(0.0, maximum);
    box->setDecimals(1);
    box->setSuffix(" mm");
    return box;
}

} // namespace

BreachWarningController::BreachWarningController(BreachWarningAlgorithm* algorithm)
  : AlgorithmController(algorithm),
    m_algorithm(algorithm),
    m_tool(new TrackingInstrumentComboBox(this)),
    m_structures(new QListWidget(this)),
    m_add(new QPushButton(tr("Add structure..."), this)),
    m_clear(new QPushButton(tr("Remove all"), this)),
    m_margin(millimetres(100.0, this)),
    m_needleLength(millimetres(500.0, this)),
    m_tone(new QCheckBox(tr("Tone"), this)),
    m_reading(new QLabel(this)),
    m_player(std::make_unique<BreachTonePlayer>())
{
    setObjectName("BreachWarningController");
    m_tool->setObjectName("tool");
    m_add->setObjectName("addStructure");
    m_needleLength->setObjectName("needleLength");
    m_tone->setObjectName("tone");
    m_tone->setToolTip(tr("Beeps rising in pitch and pace within the margin, a steady high tone inside"));
    m_reading->setObjectName("reading");
    m_reading->setWordWrap(true);
    QFont large = m_reading->font();
    large.setPointSizeF(large.pointSizeF() * 1.6);
    large.setBold(true);
    m_reading->setFont(large);
    m_needleLength->setSpecialValueText(tr("tip only"));
    m_needleLength->setToolTip(tr("The length of the needle back from its tip that must keep clear (0: the tip only)"));
    buildLayout();
    connect(m_add, &QPushButton::clicked, this, &BreachWarningController::onAddStructure);
    connect(m_clear, &QPushButton::clicked, this, &BreachWarningController::onClearStructures);
    connect(m_margin, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this](double value) { m_algorithm->margin.setValue(value); });
    connect(m_needleLength, qOverload<double>(&QDoubleSpinBox::valueChanged), this,
            [this](double value) { m_algorithm->needleLength.setValue(value); });
    connect(m_tone, &QCheckBox::toggled, this,
            [this](bool on)
            {
                m_algorithm->tone.setValue(on);
                refreshReading();
            });
    m_clock.setInterval(kReadingMs);
    connect(&m_clock, &QTimer::timeout, this, &BreachWarningController::refreshReading);
}

BreachWarningController::~BreachWarningController()
{
    removeDrawnStructures();
    if (display() && m_closest)
        display()->viewGroup(0)->removeObject(m_closest.get());
}

void BreachWarningController::buildLayout()
{
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->addRow(tr("Tool:"), m_tool);
    form->addRow(tr("Warn within:"), m_margin);
    form->addRow(tr("Needle length:"), m_needleLength);
    form->addRow(QString(), m_tone);
    layout->addLayout(form);
    layout->addWidget(new QLabel(tr("Critical structures (meshes or label maps in the volume's image coordinates):"), this));
    layout->addWidget(m_structures);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_add);
    buttons->addWidget(m_clear);
    layout->addLayout(buttons);
    layout->addWidget(m_reading);
    layout->addStretch(1);
}

void BreachWarningController::init()
{
    m_tool->initFromTrackingStream(&m_algorithm->stream(), TrackingInstrumentComboBox::Name, false);
    m_tool->keepInParameter(m_algorithm->tool);
    m_margin->setValue(m_algorithm->margin.value());
    m_needleLength->setValue(m_algorithm->needleLength.value());
    m_tone->setChecked(m_algorithm->tone.value());
    m_closest = std::make_unique<GlPoint>("Closest structure point");
    m_closest->setColor({ 1.0, 0.1, 0.1 });
    m_closest->setPointSize(10);
    m_closest->setAlwaysVisible(true);
    m_closest->setVisible(false);
    if (display())
        display()->viewGroup(0)->addObject(m_closest.get());
    showStructures();
    refreshReading();
    m_clock.start();
}

void BreachWarningController::onAddStructure()
{
    const QString path = QFileDialog::getOpenFileName(
      this, tr("Add Critical Structure"), QString(),
      tr("Meshes and label maps (*.obj *.stl *.ply *.nrrd *.nhdr *.nii *.nii.gz *.mha *.mhd);;All files (*)"));
    if (path.isEmpty())
        return;
    std::string reason;
    if (!m_algorithm->addStructure(path.toStdString(), &reason))
        QMessageBox::warning(this, tr("Add Critical Structure"), QString::fromStdString(reason));
    showStructures();
}

void BreachWarningController::onClearStructures()
{
    m_algorithm->clearStructures();
    showStructures();
}

void BreachWarningController::showStructures()
{
    m_structures->clear();
    for (const std::string& name : m_algorithm->structureNames())
        m_structures->addItem(QString::fromStdString(name));
    removeDrawnStructures();
    for (const auto& mesh : m_algorithm->structureMeshes())
    {
        auto drawn = std::make_unique<GlMesh>(std::make_shared<Mesh>(*mesh), "Critical structure");
        drawn->setColor({ 0.9, 0.15, 0.15 });
        drawn->setAlpha(0.4);
        drawn->setLineColor({ 1.0, 0.2, 0.2, 1.0 });
        if (display())
            display()->viewGroup(0)->addObject(drawn.get());
        m_drawn.push_back(std::move(drawn));
    }
    m_clear->setEnabled(!m_drawn.empty());
}

void BreachWarningController::removeDrawnStructures()
{
    if (display())
        for (const auto& drawn : m_drawn)
            display()->viewGroup(0)->removeObject(drawn.get());
    m_drawn.clear();
}

QString BreachWarningController::readingText() const
{
    return m_reading->text();
}

void BreachWarningController::refreshReading()
{
    const BreachWarningAlgorithm::Reading reading = m_algorithm->reading();
    const Eigen::Matrix4d imageToWorld = m_algorithm->volume().matrix();
    for (const auto& drawn : m_drawn)
        drawn->setMatrix(imageToWorld);
    const BreachStatus status = reading.distance ? reading.distance->status : BreachStatus::Refused;
    const bool marked =
      status == BreachStatus::Clear || status == BreachStatus::Warning || status == BreachStatus::Breach;
    if (m_closest)
    {
        if (marked)
            m_closest->setPoint((imageToWorld * reading.distance->structurePoint.homogeneous()).head<3>());
        m_closest->setVisible(marked);
    }
    m_reading->setText(QString::fromStdString(breachReadingText(reading)));
    const Eigen::Vector3d colour = breachReadingColor(reading) * 255.0;
    m_reading->setStyleSheet(QStringLiteral("color: rgb(%1, %2, %3);")
                               .arg(std::lround(colour.x()))
                               .arg(std::lround(colour.y()))
                               .arg(std::lround(colour.z())));
    // A withheld reading has no distance, so the tone falls silent with it.
    m_player->play(m_tone->isChecked() ? breachTone(reading.distance, m_algorithm->margin.value()) : BreachTone{});
    if (display())
        display()->update();
}

} // namespace Kelvaros
