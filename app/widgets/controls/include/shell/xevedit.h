#pragma once

// A multi-line text box whose right-button press its owner can switch off.

#include <QPlainTextEdit>

#include <cstdint>

class CXEVEdit : public QPlainTextEdit {
public:
    explicit CXEVEdit(QWidget* parent = nullptr) : QPlainTextEdit(parent) {}

    // 1: right-button presses and the context menu work as usual; 0: they are swallowed.
    int32_t rightButton = 1;

protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
};
