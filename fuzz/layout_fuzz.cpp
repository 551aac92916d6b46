// The layout file holds anything at all: read_layout_number gives what atoi
// gives for its first five bytes, the same as layout_number, and takes no
// byte beyond the fifth, from a regular file or from a pipe.
#include "properties.hpp"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (const char* failure = fuzz_properties::check_layout(data, size)) {
        std::fprintf(stderr, "layout_fuzz: %s\n", failure);
        std::abort();
    }
    return 0;
}
