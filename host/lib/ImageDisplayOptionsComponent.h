#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "core/Export.h"
#include "core/Signal.h"
#include "lib/DataComponent.h"

namespace Kelvaros
{

class Data;
class Properties;
class SharedImageSet;

/// How the views draw one volume: its own window and level, whether it is shown, its opacity over the volumes below
/// it and its colour map. A component of the volume (Data), so that two volumes of very different value ranges
/// (a phantom CT and an MRI) are each mapped by their own values and the settings travel with the volume into the
/// workspace.
///
/// Main thread only (the views and the panels that change them live there).
class KELVAROS_API ImageDisplayOptionsComponent : public DataComponent
{
public:
    enum ColorMap : int
    {
        Grey = 0,
        Hot = 1,
        Cool = 2,
        Rainbow = 3
    };
    /// A named window and level.
    struct Preset
    {
        std::string name;
        double window = 1.0;
        double level = 0.5;
    };

    ImageDisplayOptionsComponent() = default;
    ImageDisplayOptionsComponent(const ImageDisplayOptionsComponent& other);
    ImageDisplayOptionsComponent& operator=(const ImageDisplayOptionsComponent&) = delete;
    ~ImageDisplayOptionsComponent() override;

    [[nodiscard]] std::string id() const override { return "ImageDisplayOptions"; }
    [[nodiscard]] std::unique_ptr<DataComponent> cloneDerived() const override;
    /// Takes every value of another ImageDisplayOptionsComponent (signalChanged once when any changed); false,
    /// nothing changed, for another type.
    bool assign(const DataComponent& other) override;

    [[nodiscard]] double window() const { return m_window; }
    [[nodiscard]] double level() const { return m_level; }
    /// Values level ± window / 2 span the colour map. A window below 1e-6 is taken as 1e-6; non-finite values are
    /// ignored.
    void setWindowLevel(double window, double level);
    /// The window and level found from the voxels when the component was made for its volume (see of()).
    [[nodiscard]] std::pair<double, double> autoWindowLevel() const { return { m_autoWindow, m_autoLevel }; }
    [[nodiscard]] bool visible() const { return m_visible; }
    void setVisible(bool visible);
    /// 0 (transparent) to 1 (opaque, the default); clamped, NaN ignored.
    [[nodiscard]] double opacity() const { return m_opacity; }
    void setOpacity(double opacity);
    /// ColorMap value, default Grey; clamped to the valid range.
    [[nodiscard]] int colorMap() const { return m_colorMap; }
    void setColorMap(int colorMap);

    /// The colour maps' names, indexed by ColorMap.
    [[nodiscard]] static const std::vector<std::string>& colorMapNames();
    /// "Auto" (the volume's own) first, then for a CT the usual Hounsfield windows.
    [[nodiscard]] std::vector<Preset> presets(const SharedImageSet& set) const;

    /// The volume's options, added when it has none: shown in the auto window and level of its voxels, a CT in the
    /// soft-tissue window.
    static ImageDisplayOptionsComponent& of(SharedImageSet& set);
    /// Window and level spanning the 1st to 99th percentile of the selected image's finite voxels, found from a
    /// subsample of at most 2^16 voxels so that a large scan costs no more than a small one; the whole range when
    /// those percentiles are equal, window 1 for a constant or empty volume.
    [[nodiscard]] static std::pair<double, double> percentileWindowLevel(const SharedImageSet& set);

    void save(Properties& node) const;
    /// Takes the values in `node`; one that is present but unreadable or out of range is left as it was and named
    /// in the result (empty when everything was read).
    [[nodiscard]] std::vector<std::string> load(const Properties& node);
    /// The volume's options, if it has any, as the sub-record "displayOptions" of `node`.
    static void saveTo(const Data& data, Properties& node);
    /// Reads the sub-record "displayOptions" of `node`, if present and `data` is a volume, into its options; every
    /// problem is logged as a Warning naming the data, and returned.
    static std::vector<std::string> loadInto(const Properties& node, Data& data);

    /// After a setter, assign or load changed a value.
    SignalImpl<> signalChanged;

private:
    template<typename T>
    void store(T& member, T value)
    {
        if (member == value)
            return;
        member = value;
        signalChanged.emitSignal();
    }

    double m_window = 1.0;
    double m_level = 0.5;
    double m_autoWindow = 1.0;
    double m_autoLevel = 0.5;
    bool m_visible = true;
    double m_opacity = 1.0;
    int m_colorMap = Grey;
};

} // namespace Kelvaros
