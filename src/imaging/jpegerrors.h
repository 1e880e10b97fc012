#pragma once

// What the JPEG decoder and the JPEG writers share in handling libjpeg: a fatal error jumps
// back to the caller's setjmp rather than ending the process, and a warning about damaged
// data is taken as an error, so no half-decoded or grey-filled picture is ever used.
//
// The function that calls setjmp on `jump` must hold no object with a destructor that a
// jump would skip: such objects live in a struct outside it (see jpegdecoder.cpp).

#include <csetjmp>
#include <cstdio> // jpeglib.h needs FILE declared

#include <jpeglib.h>

namespace Imaging::Jpeg {

struct ErrorManager : jpeg_error_mgr {
    // Sets libjpeg's standard handlers, then replaces those that print or exit.
    ErrorManager();
    std::jmp_buf jump;
    bool finishing = false; // every scanline (or coefficient) has been read
};

// Jumps back to the setjmp of the object's ErrorManager.
[[noreturn]] void failNow(j_common_ptr info);

// A progress monitor that ends a read that has run past a sane number of scans, or whose
// thread was asked to stop (AbandonWhen).
void limitScans(j_common_ptr info);

// The next byte of the decompressor's input; at the end of the data it warns, and so fails.
int nextByte(j_decompress_ptr info);

// Has read handle the comment and every application marker but Adobe's (APP14): the
// library reads that and JFIF's (APP0) itself, as they decide the colour transform.
void readMarkersWith(j_decompress_ptr info, jpeg_marker_parser_method read);

// The bytes a buffer of every DCT coefficient of the picture takes, once its header is
// read: 128 for each 8 x 8 block of every component, MCUs counted whole.
long long coefficientBytes(const jpeg_decompress_struct& info);

} // namespace Imaging::Jpeg
