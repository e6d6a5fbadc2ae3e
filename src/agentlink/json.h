#pragma once
// The parsed reply tree behind AgentResponse. Internal to the agent link: only the
// decoders and the transport see simdjson.

#include <simdjson.h>

#include <optional>

namespace tsav {

// Replies nested deeper than this are refused as a syntax error. Records nest at most
// four levels; the margin leaves room for whatever extra members an agent sends.
inline constexpr size_t maxJsonDepth = 256;

class JsonDocument {
public:
    simdjson::dom::parser parser;
    simdjson::dom::element root;
    std::optional<simdjson::dom::element> data; // the envelope's "data" member, when present
};

} // namespace tsav
