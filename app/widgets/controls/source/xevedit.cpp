#include "shell/xevedit.h"

#include <QContextMenuEvent>
#include <QMouseEvent>

void CXEVEdit::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton && rightButton == 0) {
        event->accept();
        return;
    }
    QPlainTextEdit::mousePressEvent(event);
}

void CXEVEdit::mouseReleaseEvent(QMouseEvent* event)
{
    if (event->button() == Qt::RightButton && rightButton == 0) {
        event->accept();
        return;
    }
    QPlainTextEdit::mouseReleaseEvent(event);
}

void CXEVEdit::contextMenuEvent(QContextMenuEvent* event)
{
    // The menu of a mouse click follows the press; a keyboard request is let through.
    if (event->reason() == QContextMenuEvent::Mouse && rightButton == 0) {
        event->accept();
        return;
    }
    QPlainTextEdit::contextMenuEvent(event);
}
