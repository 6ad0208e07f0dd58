// The header table type: header name to formatted value.
#pragma once

#include <string_view>

#include "http/hash_map.h"
#include "http/wyhash.h"

namespace http {

inline constexpr unsigned MaxLoadPercentage = 80;

/// Borrows names; the values' storage is owned by the Response that fills the table.
using HeaderTable = HashMap<std::string_view, std::string_view, hashString, eqlString, MaxLoadPercentage>;

}  // namespace http
