#pragma once

// The main frame's failure box: one box at a time, opened without running an event loop of
// its own, so that a notice handler that asks for it returns at once, and without blocking
// the window, whose close closes the box too. Failures that come while
// a box is up wait and are named together in one box after it; questions wait their turn.
// Boxes and questions belong to the disc shown, and go unanswered when another replaces it.

#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "viewer/xevimageviewctrl.h"

class QWidget;

class XEVFailureBox : public QObject, public XEVMessageBox {
public:
    // Boxes open over owner's window.
    explicit XEVFailureBox(QWidget* owner);
    ~XEVFailureBox() override;

    void Show(QWidget* parent, const QString& text) override;
    void Ask(QWidget* parent, const QString& text, std::function<void(int32_t)> answered) override;
    // A box of no disc (the help file missing): another disc leaves it. Goes where failures
    // go (XEVShowFailureText), which is this box unless another was installed before it.
    void ShowForWindow(QWidget* parent, const QString& text);
    // Another disc replaces the one shown: its box goes unanswered, and what it held, asked or
    // left to run after the boxes is dropped. A box of no disc stays.
    void DropDisc();
    // Runs then once no box is up and none waits: at once when none is.
    void AfterBoxes(std::function<void()> then);
    // Closing: the open box goes, and what waited is dropped unanswered.
    void CloseAll();

    // The box on screen, null without one.
    QMessageBox* Current() const { return box_.data(); }
    int32_t Waiting() const { return int32_t(held_.size() + questions_.size()); }
    // Boxes opened so far.
    int32_t Opened() const { return opened_; }

private:
    struct Question {
        QString text;
        std::function<void(int32_t)> answered;
    };
    struct Held {
        QString text;
        bool ofDisc = true;
    };
    void ShowOwned(const QString& text, bool ofDisc);
    QMessageBox* Open(const QString& text, const QString& details, bool question, bool ofDisc);
    void OpenHeld();
    void OnClosed(const QMessageBox* box, int32_t answer);
    void Next();

    QPointer<QWidget> owner_;
    QPointer<QMessageBox> box_;
    // The box up, kept apart from box_, which is cleared before the box says it has gone.
    const QMessageBox* current_ = nullptr;
    bool currentOfDisc_ = false;
    std::function<void(int32_t)> answering_;
    std::vector<Held> held_;
    std::deque<Question> questions_;
    std::vector<std::function<void()>> afterBoxes_;
    int32_t opened_ = 0;
    bool closed_ = false;
    // Set while ShowForWindow passes its text on.
    bool forWindow_ = false;
};
