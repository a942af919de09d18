#pragma once

namespace Kelvaros::Nav
{

/// Exit codes of kelvaros-nav; scripts rely on them, so they never change meaning.
enum ExitCode : int
{
    ExitSuccess = 0,
    /// The command ran but its work failed (a fit refused, an algorithm reported an error, no plug-in found).
    ExitFailure = 1,
    /// Wrong command line: unknown command or option, missing or malformed argument.
    ExitUsage = 2,
    /// An input file could not be read or was refused as malformed; nothing was written.
    ExitBadInput = 3,
    /// An output file could not be written.
    ExitOutputError = 4
};

} // namespace Kelvaros::Nav
