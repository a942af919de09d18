#include "gui/annotation/AnnotationHistory.h"

#include <algorithm>

#include "gui/annotation/AnnotationModel.h"
#include "gui/scene/GlPointBasedAnnotation.h"
#include "gui/scene/InteractiveObject.h"

namespace Kelvaros
{

struct AnnotationHistory::Command
{
    enum class Kind
    {
        Add,
        Remove,
        Move
    };

    Kind kind = Kind::Add;
    InteractiveObject* annotation = nullptr;
    /// The annotation while the command keeps it out of the model.
    std::unique_ptr<InteractiveObject> held;
    Data* parent = nullptr;
    int position = -1;
    /// Control points before and after a move.
    std::vector<Eigen::Vector3d> before;
    std::vector<Eigen::Vector3d> after;
};

namespace
{

GlPointBasedAnnotation* pointBased(const InteractiveObject& annotation)
{
    return dynamic_cast<GlPointBasedAnnotation*>(annotation.graphicsObject());
}

} // namespace

AnnotationHistory::AnnotationHistory(AnnotationModel& model) : m_model(model) {}

AnnotationHistory::~AnnotationHistory() = default;

void AnnotationHistory::recordAdd(InteractiveObject& annotation)
{
    if (isIgnored(annotation))
        return;
    Command command;
    command.kind = Command::Kind::Add;
    command.annotation = &annotation;
    command.parent = m_model.parentData(&annotation);
    record(std::move(command));
}

void AnnotationHistory::recordRemove(std::unique_ptr<InteractiveObject> annotation, Data* parent, int position)
{
    Command command;
    command.kind = Command::Kind::Remove;
    command.annotation = annotation.get();
    command.held = std::move(annotation);
    command.parent = parent;
    command.position = position;
    record(std::move(command));
}

void AnnotationHistory::record(Command command)
{
    // A new edit discards what could have been redone, and with it the annotations only those commands kept.
    m_commands.erase(m_commands.begin() + std::ptrdiff_t(m_done), m_commands.end());
    m_commands.push_back(std::move(command));
    m_done = m_commands.size();
}

void AnnotationHistory::ignore(const InteractiveObject& annotation)
{
    m_ignored.insert(&annotation);
    eraseCommands([&annotation](const Command& command) { return command.annotation == &annotation; });
    m_dragStart.erase(annotation.manipulator());
}

void AnnotationHistory::forgetData(const Data* data)
{
    eraseCommands([data](const Command& command) { return command.parent == data; });
}

void AnnotationHistory::eraseCommands(const std::function<bool(const Command&)>& drop)
{
    size_t kept = 0;
    size_t doneKept = 0;
    for (size_t i = 0; i < m_commands.size(); ++i)
    {
        if (drop(m_commands[i]))
            continue;
        if (i < m_done)
            ++doneKept;
        m_commands[kept++] = std::move(m_commands[i]);
    }
    m_commands.resize(kept);
    m_done = doneKept;
}

bool AnnotationHistory::isIgnored(const InteractiveObject& annotation) const
{
    return m_ignored.count(&annotation) > 0;
}

void AnnotationHistory::forget(const InteractiveObject& annotation)
{
    m_ignored.erase(&annotation);
    m_dragStart.erase(annotation.manipulator());
}

bool AnnotationHistory::canUndo() const
{
    return m_done > 0;
}

bool AnnotationHistory::canRedo() const
{
    return m_done < m_commands.size();
}

void AnnotationHistory::undo()
{
    if (!canUndo())
        return;
    --m_done;
    apply(m_commands[m_done], false);
}

void AnnotationHistory::redo()
{
    if (!canRedo())
        return;
    apply(m_commands[m_done], true);
    ++m_done;
}

void AnnotationHistory::apply(Command& command, bool forward)
{
    if (command.kind == Command::Kind::Move)
    {
        if (GlPointBasedAnnotation* annotation = pointBased(*command.annotation))
            annotation->setPoints(forward ? command.after : command.before);
        return;
    }
    // Adding forward and removing backward both put the annotation (back) into the model.
    if ((command.kind == Command::Kind::Add) == forward)
        m_model.insert(std::move(command.held), command.parent, command.position);
    else
        command.held = m_model.take(command.annotation, &command.parent, &command.position);
}

InteractiveObject* AnnotationHistory::annotationOf(const Manipulator* manipulator) const
{
    for (InteractiveObject* annotation : m_model.getAnnotations())
        if (annotation->manipulator() == manipulator)
            return annotation;
    return nullptr;
}

void AnnotationHistory::onManipulatorEvent(Manipulator* manipulator, ManipulatorEvent event)
{
    InteractiveObject* annotation = annotationOf(manipulator);
    GlPointBasedAnnotation* points = annotation ? pointBased(*annotation) : nullptr;
    if (!points || isIgnored(*annotation))
        return;
    if (event == ManipulatorEvent::Grabbed)
        m_dragStart[manipulator] = points->points();
    if (event != ManipulatorEvent::Released)
        return;
    const auto start = m_dragStart.find(manipulator);
    if (start == m_dragStart.end())
        return;
    Command command;
    command.kind = Command::Kind::Move;
    command.annotation = annotation;
    command.parent = m_model.parentData(annotation);
    command.before = std::move(start->second);
    command.after = points->points();
    m_dragStart.erase(start);
    if (command.before != command.after)
        record(std::move(command));
}

} // namespace Kelvaros
