#pragma once

#include "sharedbytes.h"

// The mask bytes of a document: one byte per image pixel, row-major, top row first.
// 0 = unpainted, 255 = fully painted, values between come from the brush's soft edge.
// Shared between copies until one of them is written, like the pixels of a PixelImage.
using MaskBytes = SharedBytes;
