#pragma once

#include <atomic>
#include <memory>
#include <string>

#include "core/Export.h"
#include "core/Signal.h"
#include "lib/DataComponent.h"

namespace Kelvaros
{

class TrackingStream;

/// How the views draw a tracking stream: a component of the stream (Data), read by every view that shows it.
///
/// Thread-safe: the values are read for every sample on the stream's thread (the trail is collected there) and
/// drawn on the main thread, while the user-interface thread changes them.
class KELVAROS_API TrackingStreamDisplayOptions : public DataComponent
{
public:
    /// What is drawn of each instrument.
    enum InstrumentDisplay : int
    {
        NoInstruments = 0, ///< the stream's instruments are not drawn
        Axes = 1,          ///< an axis triad at each calibrated pose
        AxesAndNames = 2   ///< the triad and the instrument's name
    };
    /// Which tip positions are drawn as a trail.
    enum PathDisplay : int
    {
        NoPath = 0,     ///< none
        LastSecond = 1, ///< the tip positions of the last second of samples
        Recording = 2   ///< every tip position since this value was set (a recording's trail)
    };

    TrackingStreamDisplayOptions() = default;
    TrackingStreamDisplayOptions(const TrackingStreamDisplayOptions& other);
    TrackingStreamDisplayOptions& operator=(const TrackingStreamDisplayOptions&) = delete;
    ~TrackingStreamDisplayOptions() override;

    [[nodiscard]] std::string id() const override { return "TrackingStreamDisplayOptions"; }
    [[nodiscard]] std::unique_ptr<DataComponent> cloneDerived() const override;
    /// Takes the values of another TrackingStreamDisplayOptions (signalChanged once when any value changed);
    /// false, nothing changed, for another type.
    bool assign(const DataComponent& other) override;

    /// InstrumentDisplay value, default AxesAndNames. Setting clamps to the valid range. Any thread.
    [[nodiscard]] int instrumentDisplay() const { return m_instrumentDisplay.load(); }
    void setInstrumentDisplay(int display);
    /// PathDisplay value, default NoPath. Setting clamps to the valid range. Any thread.
    [[nodiscard]] int pathDisplay() const { return m_pathDisplay.load(); }
    void setPathDisplay(int display);
    /// Length of each drawn axis in millimetres, default 50; values below 0 are taken as 0. Any thread.
    [[nodiscard]] double axisLength() const { return m_axisLength.load(); }
    void setAxisLength(double millimetres);

    /// The stream's options, added with the defaults when it has none. Any thread.
    static TrackingStreamDisplayOptions& of(TrackingStream& stream);

    /// After a setter or assign changed a value, on the thread that changed it.
    SignalImpl<> signalChanged;

private:
    template<typename T>
    static bool store(std::atomic<T>& member, T value)
    {
        return member.exchange(value) != value;
    }

    std::atomic<int> m_instrumentDisplay{ AxesAndNames };
    std::atomic<int> m_pathDisplay{ NoPath };
    std::atomic<double> m_axisLength{ 50.0 };
};

} // namespace Kelvaros
