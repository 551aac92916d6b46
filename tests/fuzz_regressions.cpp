// Every input of the committed fuzz corpora (fuzz/corpus/<target>/, seeds
// and findings alike) put through the fuzzers' own checks, with any
// compiler and without libFuzzer, so that a finding once copied there stays
// found. Here every quoted path is also put through /bin/sh.
#include "properties.hpp"

#include <gtest/gtest.h>

#include <dirent.h>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#ifndef KELVANE_FUZZ_CORPUS
#error "KELVANE_FUZZ_CORPUS must name the fuzz/corpus directory"
#endif

namespace {

using check = const char* (*)(const std::uint8_t*, std::size_t);

std::vector<std::pair<std::string, std::string>> corpus(const std::string& target)
{
    const std::string directory = std::string(KELVANE_FUZZ_CORPUS) + "/" + target;
    std::vector<std::pair<std::string, std::string>> inputs;
    DIR* listing = opendir(directory.c_str());
    if (listing == nullptr)
        return inputs;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        std::ifstream file(directory + "/" + entry->d_name, std::ios::binary);
        inputs.emplace_back(entry->d_name,
                            std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()));
    }
    closedir(listing);
    return inputs;
}

const char* shell_quote_asking_the_shell(const std::uint8_t* bytes, std::size_t size)
{
    return fuzz_properties::check_shell_quote(bytes, size, true);
}

TEST(FuzzCorpus, EveryInputKeepsItsProperties)
{
    const std::pair<const char*, check> targets[] = {
        {"layout_fuzz", fuzz_properties::check_layout},
        {"last_byte_fuzz", fuzz_properties::check_last_byte},
        {"shell_quote_fuzz", shell_quote_asking_the_shell},
    };
    for (const auto& [target, property] : targets) {
        const auto inputs = corpus(target);
        EXPECT_GE(inputs.size(), 5u) << "the seed corpus of " << target << " is missing";
        for (const auto& [name, bytes] : inputs) {
            const char* failure = property(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
            EXPECT_EQ(failure, nullptr) << target << "/" << name << ": " << failure;
        }
    }
}

} // namespace
