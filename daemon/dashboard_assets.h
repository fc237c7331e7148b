// The dashboard's files (daemon/dashboard/), built into the program by
// embed_assets.cmake so that it serves them without reading any file.
#pragma once

#include <cstddef>

namespace bvm::mqttd {

struct dashboard_asset {
  const char* name;  // the file name, "index.html"
  const unsigned char* data;
  size_t size;
};

extern const dashboard_asset DASHBOARD_ASSETS[];
extern const size_t DASHBOARD_ASSET_COUNT;

}  // namespace bvm::mqttd
