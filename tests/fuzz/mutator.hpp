#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The fuzzer's own generator (splitmix64): the inputs depend only on the reader's name, the round's seed
// and the input's number, on every platform and standard library, so any input can be made again alone.
class FuzzRandom {
public:
    explicit FuzzRandom(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next();
    // Uniform in [0, bound); bound must be positive.
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }
    bool one_in(std::uint64_t n) { return below(n) == 0; }

private:
    std::uint64_t state_;
};

std::uint64_t fuzz_name_hash(const std::string& name);

// Input `index` of a round: a seed chosen from `seeds`, changed by one to five mutations of its bytes,
// lines, words and numbers (cuts, NaN and infinities, huge and negative counts, CRLF line ends, missing
// END lines, binary junk, words of the other seeds). Input 0 of each seed is the seed unchanged.
std::string mutated_input(const std::vector<std::string>& seeds, const std::string& reader, std::uint64_t round_seed,
                          std::uint64_t index);
