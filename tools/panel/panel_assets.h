// The panel page's files (tools/panel/web/), built into deckctl.
#pragma once

#include <cstddef>

namespace panel {

struct PanelAsset {
    const char* path;  // relative to the panel folder, '/' separated; null ends the table
    const unsigned char* data;
    std::size_t size;
};

// Every file of the folder, in name order, ending with an entry whose path is null.
const PanelAsset* PanelAssets();

}  // namespace panel
