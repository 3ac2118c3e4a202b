// JSON as deckctl writes it: nlohmann-json with the keys in the order they were set.
#pragma once

#include <cmath>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace hostkit {

using Json = nlohmann::ordered_json;

// JSON text that never throws: bytes that are not UTF-8 become U+FFFD.
inline std::string DumpJson(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

// JSON text from outside. Discarded (is_discarded()) when malformed, and when a number lies
// past INT64_MAX or below INT64_MIN: read as int64_t, 18446744073709551612 would be -4.
inline Json ParseJson(const std::string& text) {
    bool outOfRange = false;
    const auto check = [&outOfRange](int, Json::parse_event_t event, Json& value) {
        if (event == Json::parse_event_t::value &&
            ((value.is_number_unsigned() && value.get<uint64_t>() > INT64_MAX) ||
             (value.is_number_float() && std::fabs(value.get<double>()) >= 0x1p63))) {
            outOfRange = true;
        }
        return true;
    };
    Json doc = Json::parse(text, check, false);
    return outOfRange ? Json(Json::value_t::discarded) : doc;
}

}  // namespace hostkit
