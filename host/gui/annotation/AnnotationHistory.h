#pragma once

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <vector>

#include <Eigen/Core>

#include "gui/scene/Manipulator.h"

namespace Kelvaros
{

class AnnotationModel;
class Data;
class InteractiveObject;

/// The undo history of an AnnotationModel (internal to it): additions, removals and point moves of annotations,
/// each command about one annotation. It listens to the annotations' manipulators to record a drag as one move.
/// Annotations taken out of the model by a command live in that command until it is redone or discarded.
/// Main thread only.
class AnnotationHistory : public ManipulatorListener
{
public:
    explicit AnnotationHistory(AnnotationModel& model);
    ~AnnotationHistory() override;

    /// The annotation was just added to the model (nothing for an ignored one).
    void recordAdd(InteractiveObject& annotation);
    /// The annotation was just taken out of the model from `position` in its list; the history keeps it.
    void recordRemove(std::unique_ptr<InteractiveObject> annotation, Data* parent, int position);

    /// Drops every command about the annotation and records nothing more about it.
    void ignore(const InteractiveObject& annotation);
    [[nodiscard]] bool isIgnored(const InteractiveObject& annotation) const;
    /// The annotation is being destroyed: forget it, so that a new one at its address is not taken for it.
    void forget(const InteractiveObject& annotation);
    /// Drops every command about an annotation attached to `data`, with the annotations those commands keep.
    void forgetData(const Data* data);

    void undo();
    void redo();
    [[nodiscard]] bool canUndo() const;
    [[nodiscard]] bool canRedo() const;

    void onManipulatorEvent(Manipulator* manipulator, ManipulatorEvent event) override;

private:
    struct Command;

    void record(Command command);
    /// Erases the commands `drop` selects, keeping the rest in order and the done ones done.
    void eraseCommands(const std::function<bool(const Command&)>& drop);
    void apply(Command& command, bool forward);
    [[nodiscard]] InteractiveObject* annotationOf(const Manipulator* manipulator) const;

    AnnotationModel& m_model;
    std::vector<Command> m_commands;
    /// Commands [0, m_done) are done, the rest undone.
    size_t m_done = 0;
    std::set<const InteractiveObject*> m_ignored;
    /// Control points of annotations being dragged, as they were when the drag began.
    std::map<const Manipulator*, std::vector<Eigen::Vector3d>> m_dragStart;
};

} // namespace Kelvaros
