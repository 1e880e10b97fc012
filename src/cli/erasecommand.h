#pragma once

#include <QStringList>

#include <cstdio>
#include <optional>

// mirelo-erase: fills the painted area of an image from a mask, from a script.
//
//   mirelo-erase INPUT MASK -o OUTPUT [--full-size] [--fill standard|texture] [--threads N]
//                [--quiet] [--verbose]
//
// INPUT is decoded as the application decodes it (upright, over white, longer side at
// most 3072 pixels), so the same image, mask, fill method and thread count give the same
// bytes. --fill texture fills thick holes as the application does with "Preserve Texture"
// on. MASK is an image of the decoded size (or of INPUT's own upright size, reduced by area
// averaging) whose 8-bit grey value is the paint strength (0 = keep). OUTPUT is written as
// an 8-bit RGB PNG; with --full-size at INPUT's own size, byte for byte what the
// application's "Save Full Size as PNG…" writes.
namespace EraseCommand {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// Runs the command with the arguments after the program name. Messages go to err;
// a progress bar is drawn on err when showProgress is set (and --quiet is not given).
int run(const QStringList& arguments, FILE* out, FILE* err, bool showProgress);

// The usage error run() would report for these arguments, checked without touching any
// file; none when they are usable.
std::optional<QString> checkArguments(const QStringList& arguments);

} // namespace EraseCommand
