#include "visualization/BreachTonePlayer.h"

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QAudioOutput>

#include "core/Log.h"

namespace Kelvaros
{
namespace
{
constexpr const char* kCategory = "BreachTonePlayer";

QAudioFormat toneFormat()
{
    QAudioFormat format;
    format.setSampleRate(SineToneDevice::kSampleRate);
    format.setChannelCount(1);
    format.setSampleSize(16);
    format.setCodec("audio/pcm");
    format.setByteOrder(QAudioFormat::LittleEndian);
    format.setSampleType(QAudioFormat::SignedInt);
    return format;
}
} // namespace

BreachTonePlayer::BreachTonePlayer() = default;

BreachTonePlayer::~BreachTonePlayer()
{
    silence();
}

bool BreachTonePlayer::sounding() const
{
    return m_output && m_output->state() == QAudio::ActiveState;
}

void BreachTonePlayer::play(const BreachTone& tone)
{
    if (tone == m_tone)
        return;
    m_tone = tone;
    if (!tone.audible)
        return silence();
    m_source.setTone(tone.frequencyHz, tone.periodMs);
    if (!ensureOutput() || m_output->state() == QAudio::ActiveState)
        return;
    m_source.open(QIODevice::ReadOnly);
    m_output->start(&m_source);
    if (m_output->error() != QAudio::NoError)
    {
        Log::log(Log::Warning, kCategory, "The sound device refused the breach warning's tone: it stays silent");
        m_unavailable = true;
        silence();
    }
}

bool BreachTonePlayer::ensureOutput()
{
    if (m_output || m_unavailable)
        return !m_unavailable;
    const QAudioDeviceInfo device = QAudioDeviceInfo::defaultOutputDevice();
    if (device.isNull() || !device.isFormatSupported(toneFormat()))
    {
        // Said once: the panel asks for a tone at every reading.
        Log::log(Log::Info, kCategory, "No sound device: the breach warning's tone stays silent");
        m_unavailable = true;
        return false;
    }
    m_output = std::make_unique<QAudioOutput>(device, toneFormat());
    return true;
}

void BreachTonePlayer::silence()
{
    m_source.setTone(0.0, 0);
    if (m_output)
        m_output->stop();
    m_source.close();
}

} // namespace Kelvaros
