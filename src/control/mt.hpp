#pragma once

#include <array>
#include <cstdint>
#include <vector>

// The MT19937 Mersenne Twister, seeded by its init_by_array procedure. This is the program's only source
// of random numbers; the published algorithm is followed exactly, so sequences match its reference output.
class MersenneTwister {
public:
    static constexpr int state_size = 624;

    MersenneTwister();  // seeded by init_by_array on the default key {291, 564, 837, 1110}

    void init_genrand(std::uint32_t s);
    void init_by_array(const std::uint32_t* key, int length);

    std::uint32_t genrand_int32();
    std::int32_t genrand_int31();
    double genrand_real1();  // [0, 1]
    double genrand_real2();  // [0, 1)
    double genrand_real3();  // (0, 1)
    double genrand_res53();  // [0, 1) with 53-bit resolution

    // The whole sequence position: the 624 words, then the index of the next one. A generator given these
    // words draws what the one they came from would have drawn; words that no generator can hold are
    // refused (false, nothing changed).
    std::vector<std::uint32_t> position_words() const;
    bool continue_from(const std::vector<std::uint32_t>& words);

    const std::vector<std::uint32_t>& init_key() const { return init_key_; }
    bool seeded_by_array() const { return seeded_by_array_; }
    bool seeded_by_value() const { return seeded_by_value_; }

private:
    std::array<std::uint32_t, state_size> mt_{};
    int mti = state_size + 1;  // state_size + 1 means never seeded
    std::vector<std::uint32_t> init_key_;
    std::uint32_t seed = 0;
    bool seeded_by_array_ = false;
    bool seeded_by_value_ = false;
};

struct Calculation;

// Seeds the run's generator from the four MT_seed values, in their order.
void seed_random_generator(Calculation& calc);
// The one draw the rest of the program uses: a double in [0, 1).
double uniform_random(Calculation& calc);
