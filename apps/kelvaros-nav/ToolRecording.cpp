#include "ToolRecording.h"

#include "stream/TrackingSequence.h"
#include "stream/io/TrackingSequenceFile.h"

namespace Kelvaros::Nav
{

namespace
{
std::string idList(const std::vector<std::unique_ptr<TrackingSequence>>& sequences)
{
    std::string list;
    for (const auto& sequence : sequences)
        list += (list.empty() ? "" : ", ") + sequence->trackerID().ID();
    return list;
}
} // namespace

std::unique_ptr<TrackingSequence> readToolRecording(const std::string& path, const std::optional<std::string>& tool,
                                                    std::string* error)
{
    const auto samples = TrackingSequenceFile::read(path);
    if (!samples)
    {
        *error = path + ": refused (see the message above)";
        return nullptr;
    }
    auto sequences = TrackingSequenceFile::toSequences(*samples);
    const TrackingSequence* chosen = nullptr;
    int matches = 0;
    for (const auto& sequence : sequences)
        if (!tool || sequence->trackerID().ID() == *tool)
        {
            chosen = sequence.get();
            ++matches;
        }
    if (matches != 1)
    {
        if (tool)
            *error = path + ": no instrument '" + *tool + "' (instruments: " + idList(sequences) + ")";
        else if (sequences.empty())
            *error = path + ": holds no instrument";
        else
            *error = path + ": several instruments, choose one with --tool (" + idList(sequences) + ")";
        return nullptr;
    }

    auto recording = std::make_unique<TrackingSequence>(chosen->name());
    recording->setTrackerID(chosen->trackerID());
    for (int i = 0; i < chosen->size(); ++i)
        if (chosen->tracked(i))
            recording->add(chosen->matrix(i), chosen->timestamp(i), chosen->quality(i), true);
    if (recording->empty())
    {
        *error = path + ": '" + chosen->trackerID().ID() + "' is never tracked";
        return nullptr;
    }
    return recording;
}

} // namespace Kelvaros::Nav
