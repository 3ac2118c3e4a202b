// JSON as deckctl writes it: nlohmann-json with the keys in the order they were set.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

namespace hostkit {

using Json = nlohmann::ordered_json;

// JSON text that never throws: bytes that are not UTF-8 become U+FFFD.
inline std::string DumpJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace hostkit
