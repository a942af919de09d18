#pragma once

#include <atomic>

#include <QIODevice>

namespace Kelvaros
{

/// An endless source of 16-bit mono samples for an audio output that pulls them: a sine of the set frequency,
/// steady or in beeps (on for the first half of each period), or silence. The phase runs on across changes, so a
/// rising pitch glides instead of clicking.
///
/// Threads: setTone on any thread; the samples are read on the audio output's thread.
class SineToneDevice : public QIODevice
{
    Q_OBJECT

public:
    static constexpr int kSampleRate = 44100;

    explicit SineToneDevice(QObject* parent = nullptr);

    /// `frequencyHz` 0 is silence; `periodMs` 0 a steady tone.
    void setTone(double frequencyHz, int periodMs);

    [[nodiscard]] bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    /// One sample at the current place in the beep, advancing it.
    [[nodiscard]] qint16 nextSample(double frequencyHz, int periodSamples);

    std::atomic<double> m_frequencyHz{ 0.0 };
    std::atomic<int> m_periodMs{ 0 };
    double m_phase = 0.0;
    long m_sampleInPeriod = 0;
};

} // namespace Kelvaros
