// Injectable source of random numbers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace qz {

class RandomSource {
public:
    virtual ~RandomSource() = default;
    virtual std::uint64_t next_u64() = 0;

    // Uniform in [0, bound); bound must be non-zero.
    std::size_t below(std::size_t bound) {
        std::uniform_int_distribution<std::size_t> distribution(0, bound - 1);
        Adapter adapter{*this};
        return distribution(adapter);
    }

private:
    struct Adapter {
        using result_type = std::uint64_t;
        static constexpr result_type min() { return 0; }
        static constexpr result_type max() { return ~result_type{0}; }
        result_type operator()() { return source.next_u64(); }
        RandomSource& source;
    };
};

class SystemRandom final : public RandomSource {
public:
    SystemRandom() : engine_(std::random_device{}()) {}
    std::uint64_t next_u64() override { return engine_(); }

private:
    std::mt19937_64 engine_;
};

// Deterministic source for tests.
class SeededRandom final : public RandomSource {
public:
    explicit SeededRandom(std::uint64_t seed) : engine_(seed) {}
    std::uint64_t next_u64() override { return engine_(); }

private:
    std::mt19937_64 engine_;
};

}  // namespace qz
