#pragma once

// The terms of use: asked at start-up (mode 0) without blocking, shown again from the help
// command (mode 1, OK only). The answer goes to the owner as one closed message; then the
// dialog deletes itself.

#include <QCheckBox>
#include <QDialog>
#include <QLabel>
#include <QStringList>

#include <cstdint>

#include "shell/xevbitmapbutton.h"
#include "shell/xevedit.h"
#include "shell/xevfont.h"
#include "shell/xevmessage.h"
#include "shell/xevmessageids.h"

// The automatic acceptance of "/Agree".
constexpr int32_t kXEVAgreeTimerId = 300;

constexpr int32_t kXEVReadTextMissing = -3001;
constexpr int32_t kXEVReadTextUnreadable = -3002;

class CXEVAgreeDlg : public QDialog {
public:
    // Built hidden; arguments are the program's start-up arguments (the program first), to
    // which the start-up adds "/Agree" when the stored acceptance is current.
    CXEVAgreeDlg(QWidget* owner, const XEVWindowHandle& notify, int32_t mode, const QStringList& arguments);
    ~CXEVAgreeDlg() override;

    // 800 x 560, centred on the owner's rectangle and 40 lower; shown, or accepted after
    // 10 ms unseen when the arguments ask for it.
    void Present(const QRect& ownerRect);
    void LayoutControls();
    void LoadAgreementText();
    void OnOK();
    void OnCancel();
    void OnTimer(int32_t id);
    void OnLabelClicked();

    // The file's lines, each followed by "\r\n": UTF-8, else code page 932. 0, or
    // kXEVReadTextMissing / kXEVReadTextUnreadable with text untouched.
    static int32_t ReadTextFile(const QString& path, QString& text);
    static QString BuiltInText(int32_t dpi);

    // Dead once the dialog is gone, so an owner never reaches a deleted dialog.
    XEVWindowHandle Handle() const { return receiver_.Handle(); }
    int32_t Mode() const { return mode_; }
    QLabel* Background() const { return background_; }
    CXEVEdit* TextBox() const { return textBox_; }
    CXEVBitmapButton* OkButton() const { return ok_; }
    CXEVBitmapButton* CancelButton() const { return cancel_; }
    QCheckBox* CheckBox() const { return check_; }
    QLabel* CheckLabel() const { return label_; }

protected:
    void resizeEvent(QResizeEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
    void reject() override { OnCancel(); }
    void accept() override { OnOK(); }

private:
    void LoadSkins();
    void Finish(int32_t accepted);

    XEVMessageReceiver receiver_;
    XEVWindowHandle notify_;
    int32_t mode_;
    QStringList arguments_;
    QLabel* background_ = nullptr;
    CXEVEdit* textBox_ = nullptr;
    CXEVBitmapButton* ok_ = nullptr;
    CXEVBitmapButton* cancel_ = nullptr;
    QCheckBox* check_ = nullptr;
    QLabel* label_ = nullptr;
    CXEVFont font_;
    int qtTimerId_ = 0;
    bool finished_ = false;
};
