// The byte-at-a-time reference table and the portable 64-bit word kernels of
// every family: the byte searches and the UTF-8 encoders. (The UTF-8
// decoders have no word level: their reference loops serve it.)
#include "simd/generic.hpp"
#include "simd/utf8_encode_generic.hpp"

namespace arbolite::simd {

constinit const KernelTable kScalarKernels{"scalar",           &scalar::find_byte,     &scalar::find_any4,
                                            &scalar::find_any8, &scalar::count_byte,    &scalar::is_valid_utf8,
                                            &scalar::classify_blocks,   &scalar::find_in_set,
                                            &scalar::tally_bytes};

constinit const KernelTable kSwarKernels = generic_table<SwarOps>("swar");

constinit const Utf8EncodeTable kSwarUtf8Kernels = utf8_encode_table<Utf8SwarLevel>("swar");

}  // namespace arbolite::simd
