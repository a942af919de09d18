#include "VolumeLayersWidget.h"

#include <cmath>
#include <set>

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QListWidget>
#include <QSlider>
#include <QVBoxLayout>

#include "lib/ApplicationController.h"
#include "lib/ImageDisplayOptionsComponent.h"
#include "lib/SharedImageSet.h"

namespace Kelvaros
{
namespace
{
constexpr double kLargestValue = 1e9;

SharedImageSet* volumeOf(const QListWidgetItem* item)
{
    return item ? static_cast<SharedImageSet*>(item->data(Qt::UserRole).value<void*>()) : nullptr;
}

QDoubleSpinBox* valueBox(const QString& name, double minimum)
{
    auto* box = new QDoubleSpinBox;
    box->setObjectName(name);
    box->setDecimals(4);
    box->setRange(minimum, kLargestValue);
    box->setKeyboardTracking(false);
    return box;
}

/// Spin box steps of about a hundredth of the window, rounded to a power of ten.
double stepFor(double window)
{
    return std::pow(10.0, std::floor(std::log10(std::max(window, 1e-4) / 100.0)));
}
} // namespace

VolumeLayersWidget::VolumeLayersWidget(ApplicationController& app, QWidget* parent)
  : QWidget(parent), m_app(app), m_list(new QListWidget)
{
    m_list->setObjectName("layers");
    m_list->setToolTip(tr("Volumes in drawing order: each is drawn over the ones above it in this list"));
    buildControls();
    connect(m_list, &QListWidget::currentItemChanged, this, &VolumeLayersWidget::onSelectionChanged);
    connect(m_list, &QListWidget::itemChanged, this,
            [this](QListWidgetItem* item)
            {
                if (!m_showing)
                    ImageDisplayOptionsComponent::of(*volumeOf(item)).setVisible(item->checkState() == Qt::Checked);
            });
    m_app.signalDataAdded.connect(this, [this](Data*) { rebuild(nullptr); });
    m_app.signalDataRemoved.connect(this, [this](Data* data) { rebuild(data); });
    rebuild(nullptr);
}

VolumeLayersWidget::~VolumeLayersWidget()
{
    disconnectAll();
    unwatch();
}

void VolumeLayersWidget::buildControls()
{
    m_opacity = new QSlider(Qt::Horizontal);
    m_opacity->setObjectName("opacity");
    m_opacity->setRange(0, 100);
    m_colorMap = new QComboBox;
    m_colorMap->setObjectName("colorMap");
    for (const std::string& name : ImageDisplayOptionsComponent::colorMapNames())
        m_colorMap->addItem(QString::fromStdString(name));
    m_preset = new QComboBox;
    m_preset->setObjectName("preset");
    m_window = valueBox("window", 1e-4);
    m_level = valueBox("level", -kLargestValue);
    auto* form = new QFormLayout;
    form->addRow(tr("Opacity"), m_opacity);
    form->addRow(tr("Colour map"), m_colorMap);
    form->addRow(tr("Preset"), m_preset);
    form->addRow(tr("Window"), m_window);
    form->addRow(tr("Level"), m_level);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_list);
    layout->addLayout(form);

    const auto selected = [this] { return m_showing ? nullptr : selectedVolume(); };
    connect(m_opacity, &QSlider::valueChanged, this,
            [selected](int percent)
            {
                if (SharedImageSet* set = selected())
                    ImageDisplayOptionsComponent::of(*set).setOpacity(percent / 100.0);
            });
    connect(m_colorMap, qOverload<int>(&QComboBox::currentIndexChanged), this,
            [selected](int index)
            {
                if (SharedImageSet* set = selected())
                    ImageDisplayOptionsComponent::of(*set).setColorMap(index);
            });
    connect(m_preset, qOverload<int>(&QComboBox::activated), this, &VolumeLayersWidget::applyPreset);
    connect(m_window, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &VolumeLayersWidget::applyWindowLevel);
    connect(m_level, qOverload<double>(&QDoubleSpinBox::valueChanged), this, &VolumeLayersWidget::applyWindowLevel);
}

SharedImageSet* VolumeLayersWidget::selectedVolume() const
{
    return volumeOf(m_list->currentItem());
}

void VolumeLayersWidget::unwatch()
{
    for (SignalConnection& connection : m_watched)
        connection.disconnect();
    m_watched.clear();
}

void VolumeLayersWidget::rebuild(const Data* leaving)
{
    const SharedImageSet* selected = selectedVolume();
    std::set<const void*> listed;
    for (int row = 0; row < m_list->count(); ++row)
        listed.insert(m_list->item(row)->data(Qt::UserRole).value<void*>());
    unwatch();
    m_showing = true;
    m_list->clear();
    for (SharedImageSet* set : m_app.dataList().getAll<SharedImageSet>())
    {
        if (set == leaving)
            continue;
        // A volume just opened is the one the user means to adjust next.
        if (!listed.empty() && !listed.count(set))
            selected = set;
        auto* item = new QListWidgetItem(QString::fromStdString(set->name()), m_list);
        item->setData(Qt::UserRole, QVariant::fromValue(static_cast<void*>(set)));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        m_watched.push_back(ImageDisplayOptionsComponent::of(*set).signalChanged.connect([this] { showSettings(); }));
        if (set == selected)
            m_list->setCurrentItem(item);
    }
    if (!m_list->currentItem() && m_list->count() > 0)
        m_list->setCurrentRow(m_list->count() - 1);
    m_showing = false;
    onSelectionChanged();
}

void VolumeLayersWidget::onSelectionChanged()
{
    if (m_showing)
        return;
    showSettings();
    Q_EMIT selectedVolumeChanged(selectedVolume());
}

void VolumeLayersWidget::showSettings()
{
    m_showing = true;
    for (int row = 0; row < m_list->count(); ++row)
    {
        QListWidgetItem* item = m_list->item(row);
        item->setCheckState(ImageDisplayOptionsComponent::of(*volumeOf(item)).visible() ? Qt::Checked : Qt::Unchecked);
    }
    SharedImageSet* set = selectedVolume();
    for (QWidget* control : std::initializer_list<QWidget*>{ m_opacity, m_colorMap, m_preset, m_window, m_level })
        control->setEnabled(set != nullptr);
    if (set)
        showOptions(*set);
    m_showing = false;
}

void VolumeLayersWidget::showOptions(SharedImageSet& set)
{
    const ImageDisplayOptionsComponent& options = ImageDisplayOptionsComponent::of(set);
    m_opacity->setValue(int(std::lround(100 * options.opacity())));
    m_colorMap->setCurrentIndex(options.colorMap());
    m_preset->clear();
    int matching = -1; // none: values of the user's own
    for (const auto& preset : options.presets(set))
    {
        if (matching < 0 && preset.window == options.window() && preset.level == options.level())
            matching = m_preset->count();
        m_preset->addItem(QString::fromStdString(preset.name));
    }
    m_preset->setCurrentIndex(matching);
    const double step = stepFor(options.autoWindowLevel().first);
    m_window->setSingleStep(step);
    m_level->setSingleStep(step);
    m_window->setValue(options.window());
    m_level->setValue(options.level());
}

void VolumeLayersWidget::applyWindowLevel()
{
    if (SharedImageSet* set = m_showing ? nullptr : selectedVolume())
        ImageDisplayOptionsComponent::of(*set).setWindowLevel(m_window->value(), m_level->value());
}

void VolumeLayersWidget::applyPreset(int index)
{
    SharedImageSet* set = selectedVolume();
    if (!set || index < 0)
        return;
    ImageDisplayOptionsComponent& options = ImageDisplayOptionsComponent::of(*set);
    const auto presets = options.presets(*set);
    if (size_t(index) < presets.size())
        options.setWindowLevel(presets[size_t(index)].window, presets[size_t(index)].level);
}

} // namespace Kelvaros
