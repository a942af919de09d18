#include "MatrixText.h"

#include <fmt/format.h>

namespace Kelvaros::Nav
{

std::string matrixText(const Eigen::Matrix4d& matrix, int decimals)
{
    std::string text;
    for (int row = 0; row < 4; ++row)
    {
        text += "  ";
        for (int column = 0; column < 4; ++column)
            text += fmt::format(" {:>12.{}f}", matrix(row, column), decimals);
        text += '\n';
    }
    return text;
}

std::string vectorText(const Eigen::Vector3d& vector, int decimals)
{
    return fmt::format("{:.{}f} {:.{}f} {:.{}f}", vector.x(), decimals, vector.y(), decimals, vector.z(), decimals);
}

} // namespace Kelvaros::Nav
