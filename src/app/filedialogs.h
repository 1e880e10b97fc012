#pragma once

#include <QString>

// The modal file dialogs the application gives the document model to ask for paths with.
// Each returns an empty string when the user cancels.
namespace FileDialogs {

// One "Images (...)" filter naming every pattern Qt can decode, in both cases, because
// some native dialogs match patterns case-sensitively.
QString imageNameFilter();

// "Open": one existing image file.
QString chooseImageToOpen();

// Saving as PNG, under the window title given: PNG only, suggesting "Mirelo.png" in
// folder (the dialog's own choice when empty) and adding ".png" when it is left off.
QString chooseSavePath(const QString& folder, const QString& title);

} // namespace FileDialogs
