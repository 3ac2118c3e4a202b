// The table the build generates from the .bmp files; only panel_art.cpp reads it.
#pragma once

#include <cstddef>

#include "panel_art.h"

extern const PanelBitmapEntry kPanelBitmaps[];
extern const std::size_t kPanelBitmapCount;
