// The pictures: nine record sleeves and four captions.
#pragma once
#include <string>

#include "image.h"

constexpr int kCoverCount = 9, kCaptionCount = 4;
constexpr int kCoverSize = 256, kCaptionWidth = 256, kCaptionHeight = 128, kCaptionRows = 72;

// Cover i, 256x256 RGB, row 0 at the top.
Image cover_image(int i);
// Caption j, 256x128 RGBA: light text with a soft dark edge in rows 0-71, clear elsewhere.
Image caption_image(int j);
// The program's icon, size x size RGBA: the backdrop's smiley on a clear ground.
Image icon_image(int size);
// The sizes of the icon that the desktop entry's theme folder holds.
constexpr int kIconSizes[] = {48, 64, 128, 256};
// The nine covers and four captions laid out on a grey ground, RGB.
Image contact_sheet(const Image* covers, const Image* captions);
