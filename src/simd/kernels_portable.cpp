// The byte-at-a-time reference table and the portable 64-bit word kernels.
#include "simd/generic.hpp"

namespace arbolite::simd {

constinit const kernel_table scalar_kernels{"scalar",           &scalar::find_byte,     &scalar::find_any4,
                                            &scalar::find_any8, &scalar::count_byte,    &scalar::is_valid_utf8,
                                            &scalar::classify_blocks};

constinit const kernel_table swar_kernels = generic_table<swar_ops>("swar");

}  // namespace arbolite::simd
