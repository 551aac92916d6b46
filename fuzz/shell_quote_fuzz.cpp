// Any path of up to 255 bytes (the input up to its first NUL): its quoted
// form keeps to the structure checked in properties.hpp on every input, and
// on one input in KELVANE_FUZZ_SHELL_EVERY (64 unless set; picked by a hash
// of the input, so a replay asks the shell about the same ones) /bin/sh
// itself gives back exactly the path.
#include "properties.hpp"

#include <cstdio>
#include <cstdlib>

static std::uint32_t shell_every()
{
    static const std::uint32_t every = [] {
        const char* setting = std::getenv("KELVANE_FUZZ_SHELL_EVERY");
        const long value = setting != nullptr ? std::strtol(setting, nullptr, 10) : 64;
        return static_cast<std::uint32_t>(value > 0 ? value : 64);
    }();
    return every;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const bool ask_the_shell = fuzz_properties::input_hash(data, size) % shell_every() == 0;
    if (const char* failure = fuzz_properties::check_shell_quote(data, size, ask_the_shell)) {
        std::fprintf(stderr, "shell_quote_fuzz: %s\n", failure);
        std::abort();
    }
    return 0;
}
