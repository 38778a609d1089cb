// The values of the entity that every ADP advertisement carries.
#pragma once

#include <cstdint>

#include "strimo/avdecc/entity/model.h"

namespace qz::strimo::avdecc::adp {

struct AdvertisedEntity {
    std::uint64_t entity_id{0};
    std::uint64_t entity_model_id{0};
    std::uint32_t entity_capabilities{0};
    std::uint16_t talker_stream_sources{0};
    std::uint16_t talker_capabilities{0};
    std::uint16_t listener_stream_sinks{0};
    std::uint16_t listener_capabilities{0};
    std::uint32_t controller_capabilities{0};
    std::uint64_t association_id{0};

    static AdvertisedEntity from(const entity::Entity& entity) {
        return {entity.entity_id,
                entity.entity_model_id,
                entity.entity_capabilities,
                entity.talker_stream_sources,
                entity.talker_capabilities,
                entity.listener_stream_sinks,
                entity.listener_capabilities,
                entity.controller_capabilities,
                entity.association_id};
    }
};

}  // namespace qz::strimo::avdecc::adp
