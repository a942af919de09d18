#pragma once

#include <memory>

#include "visualization/BreachTone.h"
#include "visualization/SineToneDevice.h"

class QAudioOutput;

namespace Kelvaros
{

/// Plays a BreachTone on the default sound device. The device is opened at the first audible tone; without one
/// (CI, a virtual display) the player says so once in the log and stays silent. Silence stops the output, so no
/// device is held while nothing is to be heard; destruction stops it too.
///
/// Main thread only.
class BreachTonePlayer
{
public:
    BreachTonePlayer();
    ~BreachTonePlayer();
    BreachTonePlayer(const BreachTonePlayer&) = delete;
    BreachTonePlayer& operator=(const BreachTonePlayer&) = delete;

    void play(const BreachTone& tone);
    /// What was last asked to play, heard or not.
    [[nodiscard]] const BreachTone& tone() const { return m_tone; }
    /// Whether the output is running now.
    [[nodiscard]] bool sounding() const;

private:
    /// The output, made once; false (logged once) without a sound device for the format.
    bool ensureOutput();
    void silence();

    SineToneDevice m_source;
    std::unique_ptr<QAudioOutput> m_output;
    BreachTone m_tone;
    bool m_unavailable = false;
};

} // namespace Kelvaros
