#pragma once

// Keeps the texts instead of showing a message box.

#include <QString>

#include <vector>

#include "viewer/xevimageviewctrl.h"

class RecordingBox : public XEVMessageBox {
public:
    void Show(QWidget*, const QString& text) override { texts.push_back(text); }
    int Count() const { return int(texts.size()); }
    QString Last() const { return texts.empty() ? QString() : texts.back(); }
    std::vector<QString> texts;
};
