// The print file holds anything at all, also behind a hole of up to 4 GiB:
// last_byte gives its last byte, or -1 when it is empty.
#include "properties.hpp"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const char* failure = fuzz_properties::check_last_byte(data, size)) {
        std::fprintf(stderr, "last_byte_fuzz: %s\n", failure);
        std::abort();
    }
    return 0;
}
