// The Prometheus text exposition of the library's stats and storage-status
// reports, served at /metrics.
#pragma once

#include <string>

namespace bvm::mqttd {

// The media type of the exposition (text format 0.0.4).
inline constexpr const char* METRICS_CONTENT_TYPE = "text/plain; version=0.0.4; charset=utf-8";

// Builds the exposition from the two report texts and the library version.
// Returns false when the stats report cannot be read. A storage report that
// cannot be read (the library gives an empty text when it cannot build one)
// leaves the storage figures out.
bool render_metrics(const std::string& stats_json, const std::string& storage_json,
                    const std::string& version, std::string* out);

}  // namespace bvm::mqttd
