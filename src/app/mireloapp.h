#pragma once

#include "mirelomodel.h"

#include <QMainWindow>
#include <QObject>

#include <memory>

class Commands;
class ContentView;
class DocumentController;

// The application: the one document, its window and the menu bar. Every command calls
// an operation of the model, and every command's enabled state is read from the model.
class MireloApp : public QObject {
    Q_OBJECT
public:
    MireloApp();
    ~MireloApp() override;

    MireloModel& model() { return model_; }
    QMainWindow& window() { return *window_; }
    ContentView& content() { return *content_; }

    DocumentController& document() { return *document_; }

    Commands& commands() { return *commands_; }

public slots:
    // "NAME — Mirelo", marked while the document holds an unsaved result.
    void updateTitle();

protected:
    // Closing the window (and so quitting) asks before an unsaved result is lost.
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The commands, in the menu bar and the toolbar, following the model.
    void createCommands();
    // About 80 % of the screen's free area, centred.
    void placeWindow();
    // Gives the keyboard back to the canvas once a menu or a dialog has closed; with
    // activate, makes the window active again first.
    void refocusCanvas(bool activate);

    MireloModel model_;
    std::unique_ptr<QMainWindow> window_;
    ContentView* content_ = nullptr;
    DocumentController* document_ = nullptr;
    Commands* commands_ = nullptr;
};
