// The mapped record of one item as JSON, for `palvara-cli item`.
#pragma once

#include <nlohmann/json.hpp>

#include "items/item_record.h"

namespace palvara::cli {

// Kind, class, every non-empty field of every group (times as ISO-8601 UTC, binaries as hex,
// body texts cut to their first 200 characters) and the attachments.
nlohmann::json ItemJson(const ItemRecord& record);

// Prints the JSON object as "group.field: value" lines.
void PrintFlat(const nlohmann::json& value, const std::string& prefix, std::ostream& out);

}  // namespace palvara::cli
