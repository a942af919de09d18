#pragma once

namespace Kelvaros
{

class SharedImageSet;
class TrackingStream;

/// Puts back what the registration in force on `volume` replaced (its RegistrationHistoryComponent): the volume's
/// matrix, the stream's matrix and a reference instrument's calibration, each as it was, bit for bit; a second call
/// redoes the registration. Logged under `category`; false, with a Warning, when there is nothing to restore. Every
/// panel that registers the volume undoes the same way, whichever of them made the registration in force.
bool restorePreviousRegistration(SharedImageSet& volume, TrackingStream& stream, const char* category);

} // namespace Kelvaros
