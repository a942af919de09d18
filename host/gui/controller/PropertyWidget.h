#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <QWidget>

#include "core/Export.h"
#include "core/Properties.h"
#include "core/Signal.h"

class QGridLayout;
class QLabel;

namespace Kelvaros
{

class Configurable;
class PropertyEditor;
namespace QtHelpers
{
class MainThreadCall;
}

/// The host's generic property editor for one Configurable: one row per property that is not "hidden", with the
/// property's label (its key when it has none) and an editor chosen by its type and attributes: a check box for
/// bool, spin boxes for int, double and the components of a vector ("min", "max", "step", "decimals"; a unit in
/// the label, "Length (mm)" or "Error [mm]", becomes the spin box's suffix), a combo box for "values" (its index,
/// or for text parameters its text, is the value), a line edit otherwise; "tooltip" goes on label and editor.
///
/// Binding: an edit writes through to the target's parameter of that key at once (to the target's configure()
/// for a key without a parameter) and emits edited(). A parameter changed elsewhere, on any thread, shows in its
/// editor with its current label and attributes (so a parameter hidden by another's mode reappears when the mode
/// changes back), without being written back. Editors are kept while their kind stays, so a refresh never takes
/// an editor from under the user's keyboard.
///
/// The target must outlive the widget. Main thread, except configure().
class KELVAROS_API PropertyWidget : public QWidget
{
    Q_OBJECT

public:
    explicit PropertyWidget(Configurable* target, QWidget* parent = nullptr);
    ~PropertyWidget() override;

    /// Shows the values and attributes of these properties (normally the target's configuration()), in their
    /// order; nested blocks are not shown. Any thread: off the main thread (or during an edit) the latest
    /// properties are applied from the main thread's event loop.
    void configure(const Properties& properties);

    [[nodiscard]] Configurable* target() const { return m_target; }
    /// The editor widget of a key (a check box, spin box, combo box, line edit, or the row holding a vector's
    /// spin boxes), or null.
    [[nodiscard]] QWidget* editor(const std::string& key) const;
    /// The label of a key, or null.
    [[nodiscard]] QLabel* label(const std::string& key) const;

signals:
    /// After the user changed a value and it was written to the target.
    void edited();

private:
    struct Row;
    struct Shown;

    void configureNow(const Properties& properties);
    void refreshFromTarget();
    void onTargetChanged();
    void scheduleLocked();
    void applyScheduled();
    void show(Row& row, const Shown& shown);
    void write(const std::string& key, const std::string& valueText);
    void layOut();
    [[nodiscard]] const Row* findRow(const std::string& key) const;

    Configurable* m_target;
    QGridLayout* m_grid;
    std::vector<Row> m_rows;
    // Nesting depth of write(): a configure() arriving from inside an edit must not replace the editor that sent
    // it, so it waits for the event loop.
    int m_writing = 0;

    // Hand-over from other threads to the main thread; guards the two members below. A queued call, while one
    // is pending, applies the latest properties and then the target's current values.
    std::mutex m_scheduleMutex;
    std::optional<Properties> m_scheduledProperties;
    std::shared_ptr<QtHelpers::MainThreadCall> m_scheduledCall;

    SignalReceiver m_connections;
};

} // namespace Kelvaros
