#include "control/mt.hpp"

#include "control/calculation.hpp"

#include <algorithm>

namespace {
constexpr int N = MersenneTwister::state_size;
constexpr int M = 397;
constexpr std::uint32_t matrix_a = 0x9908b0dfU;
constexpr std::uint32_t upper_mask = 0x80000000U;
constexpr std::uint32_t lower_mask = 0x7fffffffU;
}  // namespace

MersenneTwister::MersenneTwister() {
    const std::uint32_t default_key[4] = {291, 564, 837, 1110};
    init_by_array(default_key, 4);
}

void MersenneTwister::init_genrand(std::uint32_t s) {
    mt_[0] = s;
    for (mti = 1; mti < N; ++mti) {
        mt_[mti] = 1812433253U * (mt_[mti - 1] ^ (mt_[mti - 1] >> 30)) + static_cast<std::uint32_t>(mti);
    }
    seed = s;
    seeded_by_value_ = true;
}

void MersenneTwister::init_by_array(const std::uint32_t* key, int length) {
    init_genrand(19650218U);
    int i = 1;
    int j = 0;
    for (int k = (N > length ? N : length); k; --k) {
        mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1664525U)) + key[j] + static_cast<std::uint32_t>(j);
        ++i;
        ++j;
        if (i >= N) {
            mt_[0] = mt_[N - 1];
            i = 1;
        }
        if (j >= length) j = 0;
    }
    for (int k = N - 1; k; --k) {
        mt_[i] = (mt_[i] ^ ((mt_[i - 1] ^ (mt_[i - 1] >> 30)) * 1566083941U)) - static_cast<std::uint32_t>(i);
        ++i;
        if (i >= N) {
            mt_[0] = mt_[N - 1];
            i = 1;
        }
    }
    mt_[0] = 0x80000000U;  // non-zero initial state is assured
    init_key_.assign(key, key + length);
    seeded_by_array_ = true;
    seeded_by_value_ = false;
}

std::uint32_t MersenneTwister::genrand_int32() {
    static constexpr std::uint32_t mag01[2] = {0x0U, matrix_a};
    std::uint32_t y;
    if (mti >= N) {
        if (mti == N + 1) init_genrand(5489U);
        int kk = 0;
        for (; kk < N - M; ++kk) {
            y = (mt_[kk] & upper_mask) | (mt_[kk + 1] & lower_mask);
            mt_[kk] = mt_[kk + M] ^ (y >> 1) ^ mag01[y & 0x1U];
        }
        for (; kk < N - 1; ++kk) {
            y = (mt_[kk] & upper_mask) | (mt_[kk + 1] & lower_mask);
            mt_[kk] = mt_[kk + (M - N)] ^ (y >> 1) ^ mag01[y & 0x1U];
        }
        y = (mt_[N - 1] & upper_mask) | (mt_[0] & lower_mask);
        mt_[N - 1] = mt_[M - 1] ^ (y >> 1) ^ mag01[y & 0x1U];
        mti = 0;
    }
    y = mt_[mti++];
    y ^= (y >> 11);
    y ^= (y << 7) & 0x9d2c5680U;
    y ^= (y << 15) & 0xefc60000U;
    y ^= (y >> 18);
    return y;
}

std::int32_t MersenneTwister::genrand_int31() { return static_cast<std::int32_t>(genrand_int32() >> 1); }

double MersenneTwister::genrand_real1() { return genrand_int32() * (1.0 / 4294967295.0); }

double MersenneTwister::genrand_real2() { return genrand_int32() * (1.0 / 4294967296.0); }

double MersenneTwister::genrand_real3() { return (static_cast<double>(genrand_int32()) + 0.5) * (1.0 / 4294967296.0); }

double MersenneTwister::genrand_res53() {
    std::uint32_t a = genrand_int32() >> 5;
    std::uint32_t b = genrand_int32() >> 6;
    return (a * 67108864.0 + b) * (1.0 / 9007199254740992.0);
}

std::vector<std::uint32_t> MersenneTwister::position_words() const {
    std::vector<std::uint32_t> words(mt_.begin(), mt_.end());
    words.push_back(static_cast<std::uint32_t>(mti));
    return words;
}

bool MersenneTwister::continue_from(const std::vector<std::uint32_t>& words) {
    if (words.size() != mt_.size() + 1 || words.back() > static_cast<std::uint32_t>(state_size)) return false;
    std::copy(words.begin(), words.end() - 1, mt_.begin());
    mti = static_cast<int>(words.back());
    return true;
}

void seed_random_generator(Calculation& calc) {
    std::uint32_t key[MT_seed_length];
    for (int i = 0; i < MT_seed_length; ++i) {
        key[i] = static_cast<std::uint32_t>(calc.parameters.ints[IntKey::MT_seed_first + i]);
    }
    calc.random.init_by_array(key, MT_seed_length);
}

double uniform_random(Calculation& calc) { return calc.random.genrand_real2(); }
