// The worlds endpoint and the records of its document.
#pragma once

#include <cstdint>
#include <functional>
#include <memory_resource>
#include <span>
#include <string_view>
#include <tuple>

#include "http/request.h"
#include "http/response.h"
#include "json/stringify.h"
#include "runtime/result.h"

namespace endpoints {

/// One listed world. The member order is the order of the JSON members.
struct World {
    std::uint64_t id;
    std::string_view title;        ///< UTF-8 text
    std::string_view description;  ///< UTF-8 text
    std::span<const std::uint32_t> category_ids;
    std::uint64_t author_id;

    static constexpr auto jsonFields() {
        return std::tuple{
            json::Field<World, std::uint64_t>{"id", &World::id},
            json::Field<World, std::string_view>{"title", &World::title},
            json::Field<World, std::string_view>{"description", &World::description},
            json::Field<World, std::span<const std::uint32_t>>{"category_ids", &World::category_ids},
            json::Field<World, std::uint64_t>{"author_id", &World::author_id},
        };
    }
};

/// The document: the listed worlds, in list order.
struct WorldList {
    std::span<const std::reference_wrapper<const World>> worlds;

    static constexpr auto jsonFields() {
        return std::tuple{
            json::Field<WorldList, std::span<const std::reference_wrapper<const World>>>{"worlds", &WorldList::worlds},
        };
    }
};

/// Answers any method with 200 and the fixed sample list as JSON. Allocates nothing; uses
/// neither the allocator nor the request. Errors: those of res.status and res.json.
runtime::Result<void> worldsList(std::pmr::memory_resource& allocator, const http::Request& req, http::Response& res);

}  // namespace endpoints
