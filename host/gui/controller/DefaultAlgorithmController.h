#pragma once

#include <functional>
#include <string>

#include <QWidget>

#include "core/Export.h"
#include "lib/AlgorithmController.h"

class QLabel;
class QPushButton;
class QVBoxLayout;

namespace Kelvaros
{

class PropertyWidget;

/// The panel the host shows for an algorithm without a panel of its own: a property editor of the algorithm's
/// parameters, a "Compute" button and the status of the last run, top to bottom in one box layout that derived
/// panels may append to. Main thread.
class KELVAROS_API DefaultAlgorithmController
  : public QWidget
  , public AlgorithmController
{
    Q_OBJECT

public:
    /// The algorithm is not owned and outlives the panel.
    explicit DefaultAlgorithmController(Algorithm* algorithm, QWidget* parent = nullptr);
    /// The same with a title other than the algorithm's (empty: the algorithm's), without the "Compute" button
    /// when `showComputeButton` is false (for panels that compute on their own), and with `computeOnEdit` running
    /// the compute function after every edit in the property panel (for cheap algorithms shown live).
    DefaultAlgorithmController(Algorithm* algorithm, const std::string& title, bool showComputeButton,
                               bool computeOnEdit, QWidget* parent = nullptr);
    ~DefaultAlgorithmController() override;

    /// Builds the panel; derived panels call it first, then add their own widgets to layout().
    void init() override;
    /// Shows the algorithm's current configuration.
    void onAlgorithmParametersChanged() override;
    /// The title given at construction, else the algorithm's.
    [[nodiscard]] std::string title() const override;

    /// Null before init().
    [[nodiscard]] PropertyWidget* propertyWidget() const { return m_propertyWidget; }
    /// Null before init() and without the button.
    [[nodiscard]] QPushButton* computeButton() const { return m_computeButton; }
    [[nodiscard]] QLabel* statusLabel() const { return m_statusLabel; }
    /// The panel's box layout.
    [[nodiscard]] QVBoxLayout* layout() const { return m_layout; }

    /// What Compute runs; returns the status to show. Default: the algorithm's compute(), then its status().
    void setComputeFunction(std::function<int(Algorithm*)> function);

    /// The text shown for a status: empty before any run, "Done" for success, else the failure and its value.
    [[nodiscard]] static QString statusText(int status);

signals:
    /// After each Compute, with the status it returned.
    void computed(int status);

private:
    void onCompute();

    std::string m_title;
    bool m_showComputeButton = true;
    bool m_computeOnEdit = false;
    QVBoxLayout* m_layout;
    PropertyWidget* m_propertyWidget = nullptr;
    QPushButton* m_computeButton = nullptr;
    QLabel* m_statusLabel = nullptr;
    std::function<int(Algorithm*)> m_computeFunction;
};

} // namespace Kelvaros
