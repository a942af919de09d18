#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "core/Export.h"
#include "lib/DataComponent.h"

namespace Kelvaros
{

class Data;
class Properties;

/// The registration in force on a volume and the one before it, so that a registration that turns out wrong can be
/// undone in one step and redone in the next; a component of the registered volume (Data).
///
/// A registration changes, depending on its type, the volume's matrix, the calibration of a reference instrument
/// and the matrix of the tracking stream. Each entry holds the values of exactly what the registration in force
/// changed: for the current entry as the registration left them, for the previous one as they were before it.
/// restorePrevious() swaps the two and hands back the values to put in place, bit for bit; the caller (the
/// registration algorithm, which knows the stream) writes them.
///
/// Thread-safe: every access takes the component's own mutex and returns copies.
class KELVAROS_API RegistrationHistoryComponent : public DataComponentBase<RegistrationHistoryComponent>
{
public:
    /// Provenance::method of a registration refined from a pointer's sweep over a surface.
    static constexpr const char* kSurfaceMethod = "surface";

    /// How a registration was obtained and how it was judged. Lengths in millimetres.
    struct KELVAROS_API Provenance
    {
        /// When it was applied: ISO 8601 date and time with the offset from UTC ("2026-12-07T06:12:31+01:00").
        std::string dateTime;
        int pairCount = 0;
        /// RMS fiducial registration error.
        double freMm = 0.0;
        /// The localisation error the user expected; empty when none was given.
        std::optional<double> expectedFleMm;
        /// The localisation error the predicted error rests on, and where it came from ("expected" or "estimated
        /// from the FRE").
        double fleUsedMm = 0.0;
        std::string fleSource;
        /// Predicted RMS target registration error at the centroid of the landmarks; empty when unknown.
        std::optional<double> predictedTreMm;
        /// The registration type of the algorithm that applied it (0 global tracking, 1 adjust the volume's
        /// registration, 2 adjust the calibration of the relative tracker).
        int registrationType = 0;
        /// "plausible", "improbable" or "not judged", and the sentence that said so.
        std::string verdict;
        std::string verdictText;
        /// Tracked points captured with an instrument that had no calibration (or an identity one).
        int uncalibratedPointCount = 0;
        /// How it was found: empty for paired landmarks, kSurfaceMethod for a surface refinement, where pairCount
        /// counts the swept points used and freMm is their RMS distance to the surface.
        std::string method;

        bool operator==(const Provenance& other) const;
        bool operator!=(const Provenance& other) const { return !(*this == other); }
        /// One line for a panel: "2026-12-07T06:12:31+01:00: global tracking, 6 pairs, FRE 0.21 mm, ...".
        [[nodiscard]] std::string summary() const;
    };

    /// An instrument's calibration as a registration found or left it.
    struct CalibrationState
    {
        std::string instrumentId;
        /// Calibrated tool frame → tracked tool frame; empty when the instrument had no calibration.
        std::optional<Eigen::Matrix4d> matrix;
        /// The calibration's figure of merit.
        double value = 0.0;

        bool operator==(const CalibrationState& other) const;
    };

    /// What a registration changed; what it left alone is empty.
    struct State
    {
        std::optional<Eigen::Matrix4d> volumeMatrix;
        std::optional<Eigen::Matrix4d> streamMatrix;
        std::optional<CalibrationState> calibration;

        bool operator==(const State& other) const;
    };

    /// A registration (or, without provenance, the placement before the first one recorded) and its values.
    struct Entry
    {
        std::optional<Provenance> provenance;
        State state;

        bool operator==(const Entry& other) const;
    };

    RegistrationHistoryComponent() = default;
    RegistrationHistoryComponent(const RegistrationHistoryComponent& other);
    RegistrationHistoryComponent& operator=(const RegistrationHistoryComponent& other);
    ~RegistrationHistoryComponent() override;

    [[nodiscard]] std::string id() const override { return "RegistrationHistory"; }

    /// Records a registration just applied: `before` and `after` hold the same fields, the values it changed as
    /// they were and as it left them. The registration in force so far becomes the previous one. Any thread.
    void record(const Provenance& provenance, const State& before, const State& after);
    /// The registration in force; empty before the first one. Any thread.
    [[nodiscard]] std::optional<Entry> current() const;
    /// What restorePrevious() would put back; empty when there is nothing. Any thread.
    [[nodiscard]] std::optional<Entry> previous() const;
    /// Swaps the current and the previous entry, so that a second call undoes the first, and returns the values the
    /// caller must now put in place; empty (nothing changes) when there is no previous entry. Any thread.
    [[nodiscard]] std::optional<State> restorePrevious();

    /// Writes both entries into `node` (sub-records "current" and "previous"). Any thread.
    void save(Properties& node) const;
    /// Replaces the entries with those in `node`. A field that is absent where required, or present but not
    /// readable (text that is no number, a matrix with a non-finite element), drops its entry; the result names each
    /// such field and what was dropped (empty when everything was read). Any thread.
    [[nodiscard]] std::vector<std::string> load(const Properties& node);

    /// The data's history, if it has one, as the sub-record "registrationHistory" of `node`. Any thread.
    static void saveTo(const Data& data, Properties& node);
    /// Reads the sub-record "registrationHistory" of `node`, if present, into the data's history (added when
    /// absent); every problem is logged as a Warning naming the data and what was dropped, and returned.
    static std::vector<std::string> loadInto(const Properties& node, Data& data);
    /// Now, as Provenance::dateTime.
    [[nodiscard]] static std::string nowIso8601();

private:
    mutable std::mutex m_mutex;
    std::optional<Entry> m_current;  // guarded by m_mutex
    std::optional<Entry> m_previous; // guarded by m_mutex
};

} // namespace Kelvaros
