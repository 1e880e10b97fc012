#pragma once

#include "imaging.h"

#include <QString>

// The modal file dialogs the application gives the document model to ask for paths with.
// Each returns an empty string when the user cancels.
namespace FileDialogs {

// One "Images (...)" filter naming every pattern Qt can decode, in both cases, because
// some native dialogs match patterns case-sensitively.
QString imageNameFilter();

// "Open": one existing image file.
QString chooseImageToOpen();

// Saving as PNG or JPEG, under the window title given: that type only, suggesting
// "Mirelo.png" or "Mirelo.jpg" in folder (the dialog's own choice when empty) and adding
// the suffix when it is left off.
QString chooseSavePath(const QString& folder, const QString& title, Imaging::FileType type);

} // namespace FileDialogs
