#include "gui/controller/PropertyWidget.h"

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QDoubleSpinBox>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>

#include <Eigen/Core>
#include <gtest/gtest.h>

#include "core/Configurable.h"
#include "core/Parameter.h"

#include "../GuiTestFixture.h"

namespace Kelvaros
{
namespace
{
enum class Filter
{
    Average,
    Kalman
};

/// One parameter of every kind the editor offers.
class Settings : public Configurable
{
public:
    Settings()
    {
        count.setAttribute("min", "0");
        count.setAttribute("max", "10");
        length.setLabel("Length (mm)");
        filter.setAttribute("values", "Average, Kalman");
        shape.setAttribute("values", "Ring, Funnel");
        name.setAttribute("tooltip", "Shown in the views");
    }

    Parameter<bool> enabled{ "enabled", true, this };
    Parameter<int> count{ "count", 5, this };
    Parameter<double> length{ "length", 2.5, this };
    Parameter<Filter> filter{ "filter", Filter::Average, this };
    Parameter<std::string> name{ "name", "tool", this };
    Parameter<std::string> shape{ "shape", "Ring", this };
    Parameter<Eigen::Vector3d> offset{ "offset", Eigen::Vector3d(1, 2, 3), this };
};

Properties configurationOf(const Configurable& configurable)
{
    Properties properties;
    configurable.configuration(&properties);
    return properties;
}

std::function<void(QWidget*)> typing(const char* text)
{
    return [text](QWidget* editor)
    {
        auto* spin = qobject_cast<QAbstractSpinBox*>(editor);
        spin ? spin->selectAll() : qobject_cast<QLineEdit*>(editor)->selectAll();
        QTest::keyClicks(editor, text);
    };
}

void pressKey(QWidget* editor, Qt::Key key)
{
    QTest::keyClick(editor, key);
}

class PropertyWidgetTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(QApplication::instance()) << "no X display: run through scripts/with-display";
        QLocale::setDefault(QLocale::c());
        widget = std::make_unique<PropertyWidget>(&settings);
        widget->configure(configurationOf(settings));
    }

    template<typename Editor>
    Editor* editor(const char* key) const
    {
        return qobject_cast<Editor*>(widget->editor(key));
    }

    Settings settings;
    std::unique_ptr<PropertyWidget> widget;
};

TEST_F(PropertyWidgetTest, EachEditorWritesItsParameterAtOnce)
{
    const struct
    {
        const char* key;
        std::function<void(QWidget*)> edit;
        std::string expected;
    } edits[] = {
        { "enabled", [](QWidget* e) { pressKey(e, Qt::Key_Space); }, "0" },
        { "count", typing("7"), "7" },
        { "length", typing("4.25"), "4.25" },
        { "filter", [](QWidget* e) { pressKey(e, Qt::Key_Down); }, "1" },
        { "name", typing("probe"), "probe" },
        { "shape", [](QWidget* e) { pressKey(e, Qt::Key_Down); }, "Funnel" },
        { "offset", [](QWidget* e) { typing("5")(e->findChildren<QDoubleSpinBox*>().at(1)); }, "1 5 3" },
    };
    for (const auto& edit : edits)
    {
        QSignalSpy edited(widget.get(), &PropertyWidget::edited);
        ASSERT_TRUE(widget->editor(edit.key)) << edit.key;
        edit.edit(widget->editor(edit.key));
        EXPECT_EQ(settings.parameter(edit.key)->valueText(), edit.expected) << edit.key;
        EXPECT_GE(edited.count(), 1) << edit.key;
    }
}

TEST_F(PropertyWidgetTest, ChangesElsewhereShowWithoutBeingWrittenBack)
{
    QSignalSpy edited(widget.get(), &PropertyWidget::edited);
    // More decimals than the spin box shows: an echo would write the rounded value back.
    settings.length = 0.1234567891;
    settings.shape = std::string("Funnel");
    settings.enabled = false;
    std::thread([this] { settings.count = 3; }).join();

    EXPECT_TRUE(QTest::qWaitFor([this] { return editor<QSpinBox>("count")->value() == 3; }, 10000));
    EXPECT_NEAR(editor<QDoubleSpinBox>("length")->value(), 0.1234567891, 1e-6);
    EXPECT_EQ(settings.length.value(), 0.1234567891);
    EXPECT_EQ(editor<QComboBox>("shape")->currentText(), "Funnel");
    EXPECT_FALSE(editor<QCheckBox>("enabled")->isChecked());
    EXPECT_EQ(edited.count(), 0);
}

TEST_F(PropertyWidgetTest, AttributesShapeTheRows)
{
    EXPECT_EQ(widget->label("length")->text(), "Length");
    EXPECT_EQ(editor<QDoubleSpinBox>("length")->suffix(), " mm");
    EXPECT_EQ(widget->label("filter")->text(), "filter");
    EXPECT_EQ(widget->label("name")->toolTip(), "Shown in the views");
    EXPECT_EQ(widget->editor("name")->toolTip(), "Shown in the views");

    typing("99")(widget->editor("count"));
    EXPECT_LE(settings.count.value(), 10);

    // Hidden by another parameter's change, shown again by a later configure.
    settings.length.setAttribute("hidden", "1");
    settings.filter = Filter::Kalman;
    EXPECT_TRUE(widget->editor("length")->isHidden());
    EXPECT_TRUE(widget->label("length")->isHidden());
    settings.length.setAttribute("hidden", "0");
    widget->configure(configurationOf(settings));
    EXPECT_FALSE(widget->editor("length")->isHidden());
    EXPECT_FALSE(widget->label("length")->isHidden());
}

TEST_F(PropertyWidgetTest, ConfigureKeepsEditorsWhoseKindStays)
{
    QWidget* count = widget->editor("count");
    widget->configure(configurationOf(settings));
    EXPECT_EQ(widget->editor("count"), count);

    settings.count.setAttribute("values", "None, One, Two");
    settings.count = 2;
    widget->configure(configurationOf(settings));
    ASSERT_TRUE(editor<QComboBox>("count"));
    EXPECT_EQ(editor<QComboBox>("count")->currentIndex(), 2);
}

} // namespace
} // namespace Kelvaros
