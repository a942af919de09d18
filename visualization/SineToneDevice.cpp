#include "visualization/SineToneDevice.h"

#include <cmath>
#include <cstring>

namespace Kelvaros
{
namespace
{
constexpr double kTwoPi = 6.283185307179586;
// Loud enough to be heard over a room, well below full scale so that it is not shrill.
constexpr double kAmplitude = 0.3 * 32767.0;
} // namespace

SineToneDevice::SineToneDevice(QObject* parent) : QIODevice(parent) {}

void SineToneDevice::setTone(double frequencyHz, int periodMs)
{
    m_frequencyHz = frequencyHz;
    m_periodMs = periodMs;
}

qint16 SineToneDevice::nextSample(double frequencyHz, int periodSamples)
{
    const bool on = periodSamples == 0 || m_sampleInPeriod < periodSamples / 2;
    m_sampleInPeriod = periodSamples == 0 ? 0 : (m_sampleInPeriod + 1) % periodSamples;
    m_phase = std::fmod(m_phase + kTwoPi * frequencyHz / kSampleRate, kTwoPi);
    return on ? static_cast<qint16>(kAmplitude * std::sin(m_phase)) : 0;
}

qint64 SineToneDevice::readData(char* data, qint64 maxSize)
{
    const double frequency = m_frequencyHz;
    const int periodSamples = static_cast<int>(static_cast<long>(m_periodMs) * kSampleRate / 1000);
    const qint64 samples = maxSize / qint64(sizeof(qint16));
    for (qint64 i = 0; i < samples; ++i)
    {
        const qint16 sample = frequency > 0.0 ? nextSample(frequency, periodSamples) : 0;
        std::memcpy(data + i * qint64(sizeof(qint16)), &sample, sizeof(sample));
    }
    return samples * qint64(sizeof(qint16));
}

qint64 SineToneDevice::writeData(const char*, qint64)
{
    return -1;
}

} // namespace Kelvaros
