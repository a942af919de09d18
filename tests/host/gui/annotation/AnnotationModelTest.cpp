#include "gui/annotation/AnnotationModel.h"

#include <QKeyEvent>
#include <QSignalSpy>

#include "gui/scene/GlLine.h"
#include "gui/scene/GlSpline.h"
#include "gui/scene/InteractiveObject.h"
#include "gui/view/GlView.h"

#include "AnnotationTestSupport.h"

namespace Kelvaros::Testing
{
namespace
{

using Annotations = std::vector<InteractiveObject*>;

class AnnotationModelTest : public AnnotationTest
{
protected:
    void SetUp() override
    {
        AnnotationTest::SetUp();
        model.setDisplay(display.get());
    }

    InteractiveObject* addLine(const QPoint& a, const QPoint& b, Data* parent = nullptr)
    {
        auto line = std::make_unique<GlLine>();
        line->setPoints({ sliceWorld(*axial(), a), sliceWorld(*axial(), b) });
        return model.addAnnotation(
          std::make_unique<InteractiveObject>(std::move(line), model.createDefaultManipulator()), parent);
    }

    bool shown(const InteractiveObject* annotation) const
    {
        return display->viewSlice(1)->glView().hasObject(annotation->graphicsObject());
    }

    ImageViewSlice* axial() const { return display->viewSlice(0); }

    AnnotationModel model;
};

// Removal and its undo keep the same object at the same place; an ignored annotation leaves no trace.
TEST_F(AnnotationModelTest, AddRemoveUndoRedoAndIgnoredAnnotations)
{
    QSignalSpy added(&model, &AnnotationModel::annotationAdded);
    QSignalSpy removing(&model, &AnnotationModel::annotationAboutToBeRemoved);
    InteractiveObject* a = addLine({ 10, 10 }, { 50, 50 }, volume.get());
    InteractiveObject* b = addLine({ 60, 10 }, { 90, 50 });
    InteractiveObject* tool = addLine({ 5, 80 }, { 90, 80 });
    model.ignoreAnnotationInHistory(tool);
    EXPECT_EQ(added.count(), 3);
    EXPECT_EQ(model.getAnnotations(), (Annotations{ a, b, tool }));
    EXPECT_EQ(model.getAnnotations(volume.get()), (Annotations{ a }));
    EXPECT_TRUE(shown(a));
    EXPECT_TRUE(static_cast<GlLine*>(a->graphicsObject())->crossingMarked()) << "a plan marks where it crosses slices";

    model.removeAnnotation(a);
    EXPECT_EQ(removing.count(), 1);
    EXPECT_FALSE(shown(a));
    model.undo();
    EXPECT_EQ(model.getAnnotations(), (Annotations{ a, b, tool }));
    EXPECT_EQ(model.parentData(a), volume.get());
    EXPECT_TRUE(shown(a));
    model.redo();
    EXPECT_EQ(model.getAnnotations(), (Annotations{ b, tool }));
    EXPECT_EQ(removing.count(), 2);

    model.removeAnnotation(tool);
    EXPECT_EQ(model.getAnnotations(), (Annotations{ b }));
    model.undo(); // the removal of a, not of the tool
    EXPECT_EQ(model.getAnnotations(), (Annotations{ a, b }));
    model.undo();
    model.undo();
    EXPECT_TRUE(model.getAnnotations().empty());
    EXPECT_FALSE(model.canUndo());
    model.redo();
    EXPECT_EQ(model.getAnnotations(), (Annotations{ a }));
}

// What the history keeps of a data object's annotations goes with them, so undo brings back none of them.
TEST_F(AnnotationModelTest, AnnotationsOfRemovedDataCannotComeBack)
{
    InteractiveObject* a = addLine({ 10, 10 }, { 50, 50 }, volume.get());
    InteractiveObject* b = addLine({ 60, 10 }, { 90, 50 });
    model.removeAnnotation(a);
    addLine({ 5, 80 }, { 90, 80 }, volume.get());
    model.removeAnnotationsOf(volume.get());
    EXPECT_EQ(model.getAnnotations(), (Annotations{ b }));
    model.undo();
    EXPECT_TRUE(model.getAnnotations().empty());
    EXPECT_FALSE(model.canUndo());
}

// A plan drawn on a volume stays on the same anatomy when the volume is registered (its placement changes), also
// when undo brings it back after the move; the points stay in world coordinates, as the panels read them.
TEST_F(AnnotationModelTest, AnnotationsOfAVolumeMoveWithItsPlacement)
{
    InteractiveObject* onVolume = addLine({ 10, 10 }, { 50, 50 }, volume.get());
    InteractiveObject* free = addLine({ 60, 10 }, { 90, 50 });
    const auto points = [](const InteractiveObject* annotation)
    { return static_cast<const GlLine*>(annotation->graphicsObject())->points(); };
    const std::vector<Eigen::Vector3d> before = points(onVolume), freeBefore = points(free);
    Eigen::Matrix4d registration = Eigen::Matrix4d::Identity();
    registration.topLeftCorner<3, 3>() = Eigen::AngleAxisd(0.3, Eigen::Vector3d::UnitZ()).toRotationMatrix();
    registration.topRightCorner<3, 1>() = Eigen::Vector3d(120, -40, 7);
    const auto placed = [](const Eigen::Matrix4d& m, const Eigen::Vector3d& p)
    { return (m * p.homogeneous()).head<3>(); };
    const Eigen::Matrix4d start = volume->matrix();
    volume->setMatrix(registration);
    for (size_t i = 0; i < 2; ++i)
        EXPECT_LT((points(onVolume)[i] - placed(registration * start.inverse(), before[i])).norm(), 1e-9);
    EXPECT_EQ(points(free), freeBefore);

    model.removeAnnotation(onVolume);
    volume->setMatrix(start);
    model.undo();
    EXPECT_LT((points(onVolume)[1] - before[1]).norm(), 1e-9) << "brought back where the volume now is";
}

// A drag of a line's end moves it and is one undo step, except for an annotation kept out of the history.
TEST_F(AnnotationModelTest, DraggingALineEndIsOneUndoStep)
{
    for (const bool ignored : { false, true })
    {
        AnnotationModel fresh;
        fresh.setDisplay(display.get());
        auto line = std::make_unique<GlLine>();
        line->setPoints({ sliceWorld(*axial(), { 100, 100 }), sliceWorld(*axial(), { 200, 150 }) });
        auto* annotation =
          fresh.addAnnotation(std::make_unique<InteractiveObject>(std::move(line), fresh.createDefaultManipulator()));
        auto* drawn = static_cast<GlLine*>(annotation->graphicsObject());
        const std::vector<Eigen::Vector3d> before = drawn->points();
        if (ignored)
            fresh.ignoreAnnotationInHistory(annotation);
        fresh.undo(); // nothing for the ignored one; else the addition is undone and redone
        fresh.redo();

        drag(axial(), { 100, 100 }, { 130, 70 });
        expectNear(*axial(), drawn->points()[0], sliceWorld(*axial(), { 130, 70 }));
        EXPECT_TRUE(drawn->points()[1].isApprox(before[1]));
        fresh.undo();
        EXPECT_EQ(drawn->points() == before, !ignored) << "ignored " << ignored;
        EXPECT_EQ(fresh.getAnnotations().size(), 1u);
    }
}

struct DrawingCase
{
    const char* name;
    bool spline;
    int clicks;
    /// After the clicks: 0 nothing, else a key (Enter, Escape) or -1 for a double click.
    int finish;
    size_t expectedPoints; // 0: no annotation
};

void PrintTo(const DrawingCase& c, std::ostream* os)
{
    *os << c.name;
}

class DrawingTest
  : public AnnotationModelTest
  , public ::testing::WithParamInterface<DrawingCase>
{
};

TEST_P(DrawingTest, ClicksPlaceThePointsOfANewAnnotation)
{
    const DrawingCase& c = GetParam();
    QSignalSpy finished(&model, &AnnotationModel::drawingFinished);
    c.spline ? model.beginSpline(volume.get()) : model.beginLine(volume.get());
    std::vector<QPoint> clicked;
    for (int i = 0; i < c.clicks; ++i)
    {
        clicked.emplace_back(60 + 40 * i, 80 + 25 * i * i);
        click(axial(), clicked.back());
    }
    if (c.finish > 0)
    {
        QKeyEvent key(QEvent::KeyPress, c.finish, Qt::NoModifier);
        QApplication::sendEvent(axial(), &key);
    }
    else if (c.finish < 0)
    {
        clicked.emplace_back(300, 300);
        click(axial(), clicked.back());
        mouse(axial(), QEvent::MouseButtonDblClick, clicked.back());
        mouse(axial(), QEvent::MouseButtonRelease, clicked.back());
    }
    EXPECT_FALSE(model.isDrawing());
    ASSERT_EQ(finished.count(), 1);
    if (c.expectedPoints == 0)
    {
        EXPECT_TRUE(model.getAnnotations().empty());
        return;
    }
    ASSERT_EQ(model.getAnnotations(volume.get()).size(), 1u);
    auto* drawn = dynamic_cast<GlPointBasedAnnotation*>(model.getAnnotations()[0]->graphicsObject());
    ASSERT_TRUE(c.spline ? dynamic_cast<GlSpline*>(drawn) != nullptr : dynamic_cast<GlLine*>(drawn) != nullptr);
    ASSERT_EQ(drawn->points().size(), c.expectedPoints);
    for (size_t i = 0; i < c.expectedPoints; ++i)
        expectNear(*axial(), drawn->points()[i], sliceWorld(*axial(), clicked[i]));
}

INSTANTIATE_TEST_SUITE_P(Shapes, DrawingTest,
                         ::testing::Values(DrawingCase{ "Line", false, 2, 0, 2 },
                                           DrawingCase{ "SplineEnter", true, 3, Qt::Key_Return, 3 },
                                           DrawingCase{ "SplineDoubleClick", true, 2, -1, 3 },
                                           DrawingCase{ "SplineEscape", true, 3, Qt::Key_Escape, 0 }),
                         [](const ::testing::TestParamInfo<DrawingCase>& info) { return info.param.name; });

} // namespace
} // namespace Kelvaros::Testing
