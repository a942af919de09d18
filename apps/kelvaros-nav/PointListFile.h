#pragma once

#include <optional>
#include <string>
#include <vector>

#include <Eigen/Core>

namespace Kelvaros::Nav
{

/// Reads a list of 3D points, one a line, in order: "x y z" separated by blanks, commas, semicolons or tabs
/// (so plain text and CSV both work). Blank lines and lines starting with '#' are skipped, as is a first line
/// without numbers (a CSV header). Any other line must hold exactly three finite numbers.
///
/// Empty result on failure with `error` set to "<file>:<line>: <reason>" (or "<file>: <reason>"): an unreadable
/// file, a folder and a file without any point are failures.
std::optional<std::vector<Eigen::Vector3d>> readPointList(const std::string& path, std::string* error);

/// Parses one "x y z" (or "x,y,z") triple, as in a point-list line; empty when it is not three finite numbers.
std::optional<Eigen::Vector3d> parsePoint(const std::string& text);

} // namespace Kelvaros::Nav
