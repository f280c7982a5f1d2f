// The link record that a handoff request and a browser's message both carry: a JSON object with
// the text "url" and, optionally, the texts "referrer" and "cookieHeader"; other members are
// ignored. One codec, so that a link means the same whichever way it came.
//
// Contract: for the handoff library's own files (it names the JSON library's type). Pure
// functions, any thread; nothing thrown.
#pragma once

#include "handoff/codec.h"

#include <nlohmann/json.hpp>

// Fills *link from value; false when value is not a link record (*link then unspecified).
bool Handoff_LinkFromJson(const nlohmann::json& value, HandoffLink* link);
nlohmann::json Handoff_LinkToJson(const HandoffLink& link);
