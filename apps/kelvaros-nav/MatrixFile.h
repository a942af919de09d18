#pragma once

#include <optional>
#include <string>

#include <Eigen/Core>

namespace Kelvaros::Nav
{

/// Reads a rigid 4x4 transform from a file, in either form the tool itself writes one:
/// - properties XML, as `calibrate --out` writes it: the parameter `key`;
/// - text whose first four consecutive lines of exactly four numbers are the rows, as `register` prints its matrix
///   (so its whole report saved to a file works, as does a bare matrix).
/// Empty, with `error` as "<file>: <reason>", when the file cannot be read, is over 1 MiB, holds no such matrix or
/// the matrix is not rigid (Pose::isRigid): a scaled or mirrored transform would move the tool to a wrong place
/// without any other sign.
std::optional<Eigen::Matrix4d> readMatrixFile(const std::string& path, const std::string& key, std::string* error);

} // namespace Kelvaros::Nav
