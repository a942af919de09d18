#include "streams/StreamCreationMessage.h"

#include <fmt/format.h>

#include "stream/Stream.h"

namespace Kelvaros::StreamCreationMessage
{
namespace
{
/// The one way a user repeats a creation: the menu entry the algorithm came from, when known.
std::string tryAgain(const std::string& menuEntry)
{
    return menuEntry.empty() ? std::string("create the stream again")
                             : fmt::format("choose Streaming > {} again", menuEntry);
}

/// The first input that is not delivering, or null.
const Stream* firstSilentInput(const DataList& inputs)
{
    for (const Stream* input : inputs.getAll<Stream>())
        if (input->state() != Stream::State::Running)
            return input;
    return nullptr;
}

/// Why a stream over `inputs` could not open or start, and what to do; the inputs' states are what a user can see
/// and change, the rest is in the log.
std::string causeOfFailure(const DataList& inputs, const std::string& menuEntry)
{
    const Stream* input = firstSilentInput(inputs);
    if (!input)
        return fmt::format("the log says why. Remove the cause, then {}.", tryAgain(menuEntry));
    switch (input->state())
    {
        case Stream::State::Disconnected:
            return fmt::format("its input '{}' has lost its tracker. Connect the tracker again, then {}.",
                               input->name(), tryAgain(menuEntry));
        case Stream::State::Paused:
            return fmt::format("its input '{}' is paused. Resume it, then {}.", input->name(), tryAgain(menuEntry));
        default:
            return fmt::format("its input '{}' is {} and could not be opened or started (the log says why). Check its "
                               "tracker or recording, then {}.",
                               input->name(), Stream::stateName(input->state()), tryAgain(menuEntry));
    }
}
} // namespace

std::string notBuilt(const std::string& reason)
{
    const bool sentence = !reason.empty() && reason.back() == '.';
    return "No stream was created: " + reason + (sentence ? "" : ".");
}

std::string missingInput(const std::string& menuEntry)
{
    return fmt::format("No stream was created: the tracking stream it is made from is gone (it was removed, or none "
                       "was selected). Select the tracking stream, then {}.",
                       tryAgain(menuEntry));
}

std::string afterBuilding(const Stream& stream, Outcome outcome, const DataList& inputs, const std::string& menuEntry)
{
    switch (outcome)
    {
        case Outcome::Built:
            return fmt::format("Created '{}' without opening it, as its settings ask ('open' is off): it delivers "
                               "nothing until it is opened.",
                               stream.name());
        case Outcome::Opened:
            return fmt::format("Created and opened '{}' without starting it, as its settings ask ('start' is off): it "
                               "delivers nothing until it is started.",
                               stream.name());
        case Outcome::OpenFailed:
            return fmt::format("Created '{}', but it did not open: {}", stream.name(),
                               causeOfFailure(inputs, menuEntry));
        case Outcome::StartFailed:
            return fmt::format("Created and opened '{}', but it did not start: {}", stream.name(),
                               causeOfFailure(inputs, menuEntry));
        case Outcome::Started:
            break;
    }
    // A derived stream emits on its inputs' samples: started over a silent input it stays silent too.
    if (const Stream* silent = firstSilentInput(inputs))
        return fmt::format("Created '{}' and started it; it delivers once its input '{}' does, which is {} now.",
                           stream.name(), silent->name(), Stream::stateName(silent->state()));
    return fmt::format("Created '{}' and started it.", stream.name());
}

} // namespace Kelvaros::StreamCreationMessage
