#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

// A reader prepared for a round, in the round's work folder (the current folder while it runs).
struct FuzzTarget {
    std::vector<std::string> seeds;  // valid inputs; every input of the round is one of them, mutated
    // Hands one input to the reader: writes it where the reader looks and calls the reader. It ends
    // normally, or through end_process.
    std::function<void(const std::string& input)> run;
    std::set<int> error_codes = {1, 4, 5};  // the codes the reader's ERROR lines end the process with
    // Every file of the folder that an input writes is scanned for words such as "nan" and "inf" beyond
    // those the input itself holds (a reader may copy a title or a line). `outputs` are removed before
    // each input so that none is left from the one before; `unscanned` are left out of the scan.
    std::vector<std::string> outputs;
    std::set<std::string> unscanned;
    // After a normal end: what is wrong with what the reader kept (a value that is no number, a count
    // out of step), or empty.
    std::function<std::string()> check;
    std::shared_ptr<void> state;  // what run and check work on (a prepared calculation)
};

// One entry per reader: adding a reader to the fuzz rounds is adding one of these to the list.
struct FuzzedReader {
    std::string name;
    std::function<FuzzTarget()> prepare;  // runs in the fresh work folder of the round
};

const std::vector<FuzzedReader>& fuzzed_readers();

struct FuzzTally {
    std::uint64_t tried = 0;
    std::uint64_t normal = 0;
    std::uint64_t warning = 0;  // a WARNING, then a normal end
    std::uint64_t error = 0;    // an ERROR line and one of the reader's codes
    std::map<int, std::uint64_t> codes;
    std::uint64_t failures = 0;          // anything else: what a round must never see
    std::vector<std::string> reports;    // the first few failures, described
};

struct FuzzRound {
    std::uint64_t seed = 1;
    std::uint64_t first = 0;  // number of the first input
    std::uint64_t count = 1000;
    double seconds_per_input = 20.0;  // an input still running after this is a hang: the process aborts
};

// The round's settings: TALQ_FUZZ_SEED, TALQ_FUZZ_FIRST, TALQ_FUZZ_INPUTS and TALQ_FUZZ_SECONDS when set.
FuzzRound fuzz_round_from_environment();

// Runs inputs first .. first + count - 1 of the reader's round in the current folder.
FuzzTally run_fuzz_round(const FuzzedReader& reader, FuzzTarget& target, const FuzzRound& round);

// "FUZZ <reader> tried N normal N warning N error N (code 4: N ...) failures N"
std::string fuzz_tally_line(const std::string& reader, const FuzzTally& tally);

// Shared by the targets.
std::string read_fuzz_file(const std::string& path);
void write_fuzz_file(const std::string& path, const std::string& text);
std::string fuzz_seed_path(const std::string& name);  // a file of tests/fuzz/seeds
