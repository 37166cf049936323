#pragma once

// Shows the tooltips of chosen widgets in a font of their own. Qt keeps one tooltip font
// for the whole process, so the font is set just before each tip is shown.

#include <QEvent>
#include <QHelpEvent>
#include <QObject>
#include <QToolTip>
#include <QWidget>

#include "shell/xevfont.h"

class XEVToolTipFont : public QObject {
public:
    explicit XEVToolTipFont(QObject* parent, const CXEVFont& font) : QObject(parent), font_(font) {}

    void Watch(QWidget* widget) { widget->installEventFilter(this); }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (event->type() != QEvent::ToolTip || widget == nullptr || font_.IsNull()) {
            return false;
        }
        const auto* help = static_cast<QHelpEvent*>(event);
        QToolTip::setFont(font_.Font());
        QToolTip::showText(help->globalPos(), widget->toolTip(), widget);
        return true;
    }

private:
    const CXEVFont& font_;
};
