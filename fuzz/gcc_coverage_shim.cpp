// Feeds GCC's -fsanitize-coverage=trace-pc into libFuzzer.
//
// clang 14 cannot compile the std::expected of libstdc++ 12, so the fuzz targets are built by
// GCC, and libFuzzer 14 no longer takes GCC's trace-pc callback itself. Each callback hashes the
// caller's address into a table of 8-bit counters that libFuzzer registers as inline counters.
// GCC's trace-cmp callbacks for integers go to libFuzzer unchanged; the floating-point ones it
// does not know are dropped.
#include <cstddef>
#include <cstdint>

extern "C" void __sanitizer_cov_8bit_counters_init(std::uint8_t* begin, std::uint8_t* end);

namespace {

constexpr std::size_t kCounters = std::size_t{1} << 16;
std::uint8_t counters[kCounters];

__attribute__((constructor, no_sanitize_coverage)) void register_counters() {
    __sanitizer_cov_8bit_counters_init(counters, counters + kCounters);
}

}  // namespace

extern "C" {
__attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_pc() {
    const auto pc = reinterpret_cast<std::uintptr_t>(__builtin_return_address(0));
    const auto index = (pc ^ (pc >> 16)) & (kCounters - 1);
    counters[index] = static_cast<std::uint8_t>(counters[index] + 1);
}
__attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpf(float, float) {}
__attribute__((no_sanitize_coverage)) void __sanitizer_cov_trace_cmpd(double, double) {}
}
