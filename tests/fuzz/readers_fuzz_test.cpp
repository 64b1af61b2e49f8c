// A short seeded round of mutated inputs for every reader. bench/fuzz_readers.sh runs long rounds of the
// same tests (TALQ_FUZZ_INPUTS and TALQ_FUZZ_SEED choose the inputs).

#include "fuzz/harness.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <iostream>

namespace {

std::vector<std::string> reader_names() {
    std::vector<std::string> names;
    for (const FuzzedReader& reader : fuzzed_readers()) names.push_back(reader.name);
    return names;
}

const FuzzedReader& reader_named(const std::string& name) {
    for (const FuzzedReader& reader : fuzzed_readers()) {
        if (reader.name == name) return reader;
    }
    throw std::runtime_error("no reader " + name);
}

class ReaderFuzz : public ::testing::TestWithParam<std::string> {};

}  // namespace

TEST_P(ReaderFuzz, EveryInputEndsNormallyWithAWarningOrWithAnError) {
    ScopedWorkFolder folder;
    const FuzzedReader& reader = reader_named(GetParam());
    FuzzTarget target = reader.prepare();
    const FuzzTally tally = run_fuzz_round(reader, target, fuzz_round_from_environment());
    std::cout << fuzz_tally_line(reader.name, tally) << std::endl;
    for (const std::string& report : tally.reports) ADD_FAILURE() << report;
    EXPECT_EQ(tally.failures, 0u);
}

INSTANTIATE_TEST_SUITE_P(Readers, ReaderFuzz, ::testing::ValuesIn(reader_names()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });
