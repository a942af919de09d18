#pragma once

#include <limits>
#include <optional>
#include <string>
#include <type_traits>

#include <Eigen/Core>

#include "core/Export.h"

namespace Kelvaros
{

/// Parameter types as stored with a property (setParamType). The property editor and files use the numbers.
enum ParamType : int
{
    ParamTypeUnknown = 0,
    ParamTypeBool = 1,
    ParamTypeInt = 2,
    ParamTypeDouble = 3,
    ParamTypeString = 4,
    ParamTypeVector = 5,
    ParamTypeMatrix = 6,
    ParamTypePath = 7,
    ParamTypeEnum = 8
};

/// Text conversion of property values. Property values are kept as text, so that a file loaded and saved again
/// is byte-identical; numbers are written in their shortest form that reads back to the same double.
namespace PropertyText
{
KELVAROS_API std::string toText(bool value);
KELVAROS_API std::string toText(int value);
KELVAROS_API std::string toText(long long value);
KELVAROS_API std::string toText(unsigned long long value);
KELVAROS_API std::string toText(double value);
KELVAROS_API std::string toText(const std::string& value);
/// Coefficients separated by single spaces; matrices row by row.
KELVAROS_API std::string toText(const double* values, int count);

/// Each returns false (leaving value untouched) when the text is not a complete, finite-or-not, valid value:
/// no surrounding white space, no '+', no trailing characters, no out-of-range number. Booleans are written as
/// "1"/"0" and read from "1"/"0" or "true"/"false"; doubles read "inf", "-inf" and "nan" as well.
KELVAROS_API bool fromText(const std::string& text, bool& value);
KELVAROS_API bool fromText(const std::string& text, int& value);
KELVAROS_API bool fromText(const std::string& text, long long& value);
KELVAROS_API bool fromText(const std::string& text, unsigned long long& value);
KELVAROS_API bool fromText(const std::string& text, double& value);
KELVAROS_API bool fromText(const std::string& text, std::string& value);
/// Exactly `count` numbers separated (and optionally surrounded) by white space.
KELVAROS_API bool fromText(const std::string& text, double* values, int count);
} // namespace PropertyText

/// Conversion of one value type to and from property text, with the parameter type recorded beside it.
/// Supported: bool, int, long long, unsigned long long, double, std::string, enums (stored as int),
/// fixed-size Eigen matrices of double (vectors and 4x4 matrices), and std::optional of any of them
/// (an empty optional is stored as empty text).
template<typename T, typename Enable = void>
struct PropertyValue;

template<>
struct PropertyValue<bool>
{
    static constexpr int type = ParamTypeBool;
    static std::string toText(bool value) { return PropertyText::toText(value); }
    static bool fromText(const std::string& text, bool& value) { return PropertyText::fromText(text, value); }
};

template<typename T>
struct PropertyValue<T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>>>
{
    static constexpr int type = ParamTypeInt;
    using Wide = std::conditional_t<std::is_signed_v<T>, long long, unsigned long long>;
    static std::string toText(T value) { return PropertyText::toText(Wide(value)); }
    static bool fromText(const std::string& text, T& value)
    {
        Wide wide{};
        if (!PropertyText::fromText(text, wide) || wide < Wide(std::numeric_limits<T>::min()) ||
            wide > Wide(std::numeric_limits<T>::max()))
            return false;
        value = T(wide);
        return true;
    }
};

template<typename T>
struct PropertyValue<T, std::enable_if_t<std::is_floating_point_v<T>>>
{
    static constexpr int type = ParamTypeDouble;
    static std::string toText(T value) { return PropertyText::toText(double(value)); }
    static bool fromText(const std::string& text, T& value)
    {
        double d = 0;
        if (!PropertyText::fromText(text, d))
            return false;
        value = T(d);
        return true;
    }
};

template<>
struct PropertyValue<std::string>
{
    static constexpr int type = ParamTypeString;
    static std::string toText(const std::string& value) { return value; }
    static bool fromText(const std::string& text, std::string& value)
    {
        value = text;
        return true;
    }
};

template<typename T>
struct PropertyValue<T, std::enable_if_t<std::is_enum_v<T>>>
{
    static constexpr int type = ParamTypeEnum;
    static std::string toText(T value) { return PropertyText::toText(int(value)); }
    static bool fromText(const std::string& text, T& value)
    {
        int i = 0;
        if (!PropertyText::fromText(text, i))
            return false;
        value = T(i);
        return true;
    }
};

template<int Rows, int Cols, int Options, int MaxRows, int MaxCols>
struct PropertyValue<Eigen::Matrix<double, Rows, Cols, Options, MaxRows, MaxCols>>
{
    static_assert(Rows > 0 && Cols > 0, "only fixed-size Eigen matrices are property values");
    using M = Eigen::Matrix<double, Rows, Cols, Options, MaxRows, MaxCols>;
    // Text is row by row; vectors have only one valid storage order.
    using RowMajor = Eigen::Matrix<double, Rows, Cols, (Rows == 1 || Cols == 1) ? Options : Eigen::RowMajor>;
    static constexpr int type = (Cols == 1 || Rows == 1) ? ParamTypeVector : ParamTypeMatrix;
    static std::string toText(const M& value)
    {
        const RowMajor rowMajor = value;
        return PropertyText::toText(rowMajor.data(), Rows * Cols);
    }
    static bool fromText(const std::string& text, M& value)
    {
        RowMajor rowMajor;
        if (!PropertyText::fromText(text, rowMajor.data(), Rows * Cols))
            return false;
        value = rowMajor;
        return true;
    }
};

template<typename T>
struct PropertyValue<std::optional<T>>
{
    static constexpr int type = PropertyValue<T>::type;
    static std::string toText(const std::optional<T>& value)
    {
        return value ? PropertyValue<T>::toText(*value) : std::string();
    }
    static bool fromText(const std::string& text, std::optional<T>& value)
    {
        if (text.empty())
        {
            value.reset();
            return true;
        }
        T inner{};
        if (!PropertyValue<T>::fromText(text, inner))
            return false;
        value = inner;
        return true;
    }
};

} // namespace Kelvaros
