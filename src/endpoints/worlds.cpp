// The worlds endpoint: one fixed sample world.
#include "endpoints/worlds.h"

#include <array>

namespace endpoints {

runtime::Result<void> worldsList(std::pmr::memory_resource&, const http::Request&, http::Response& res) {
    TRY(res.status(200));
    const std::array<std::uint32_t, 3> c_ids = {14, 36, 24};
    const World world{
        .id = 1234,
        .title = "Example world",
        .description = "This is an example world!",
        .category_ids = c_ids,
        .author_id = 1,
    };
    const std::array<std::reference_wrapper<const World>, 1> worlds = {std::cref(world)};
    return runtime::passOn(res.json(WorldList{.worlds = worlds}));
}

}  // namespace endpoints
