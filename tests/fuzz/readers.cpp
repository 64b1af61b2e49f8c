#include "fuzz/readers.hpp"

const std::vector<FuzzedReader>& fuzzed_readers() {
    static const std::vector<FuzzedReader> readers = [] {
        std::vector<FuzzedReader> all = input_file_readers();
        for (FuzzedReader& reader : run_file_readers()) all.push_back(std::move(reader));
        return all;
    }();
    return readers;
}
