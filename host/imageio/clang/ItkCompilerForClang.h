// Debian's ITK 5.2 headers only describe GCC and stop any other compiler with "Unsupported compiler". The fuzzers
// need clang; it implements every feature those headers ask of GCC 5, so it is presented as such while they are
// read. Clang builds include this first in every file that sees ITK; the header's guard makes ITK's own later
// inclusion a no-op.
#pragma once

#if defined(__clang__)
#pragma clang diagnostic push
#pragma clang diagnostic ignored "-Wbuiltin-macro-redefined"
#pragma push_macro("__clang__")
#pragma push_macro("__GNUC__")
#pragma push_macro("__GNUC_MINOR__")
#undef __clang__
#undef __GNUC__
#undef __GNUC_MINOR__
#define __GNUC__ 9
#define __GNUC_MINOR__ 0
#include <itk_compiler_detection.h>
#pragma pop_macro("__GNUC_MINOR__")
#pragma pop_macro("__GNUC__")
#pragma pop_macro("__clang__")
#pragma clang diagnostic pop
#endif
