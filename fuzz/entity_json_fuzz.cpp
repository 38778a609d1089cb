// Arbitrary text through the entity model reader. A model that loads must save, load back equal,
// and serialise into descriptors without fault.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "strimo/avdecc/entity/descriptors.h"
#include "strimo/avdecc/entity/json.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace model = qz::strimo::avdecc::entity;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    auto loaded = model::load(text);
    if (!loaded) {
        return 0;
    }
    auto again = model::load(model::save(*loaded));
    if (!again || !(*again == *loaded)) {
        __builtin_trap();
    }
    const auto cache = model::serialise(*loaded);
    (void)cache.total_bytes();
    return 0;
}
