#include "shell/xevfailurebox.h"

#include <QMessageBox>
#include <QPushButton>
#include <QStringList>

#include <algorithm>
#include <utility>

#include "shell/xev_uistring.h"

namespace {

constexpr uint32_t kMoreFailuresMessage = 10028;
// The failures a held-failures box names in its text; the rest are in its details.
constexpr size_t kFailuresNamed = 10;

// What names a failure in a list: its file (and frame) lines, or its first line without one.
QString FailureLine(const QString& text)
{
    QStringList named;
    for (const QString& line : text.split(QLatin1Char('\n'))) {
        if (line.trimmed().startsWith(QLatin1Char('['))) {
            named.push_back(line.trimmed());
        }
    }
    return named.isEmpty() ? text.section(QLatin1Char('\n'), 0, 0) : named.join(QLatin1Char(' '));
}

}   // namespace

XEVFailureBox::XEVFailureBox(QWidget* owner) : owner_(owner)
{
}

XEVFailureBox::~XEVFailureBox()
{
    CloseAll();
}

void XEVFailureBox::Show(QWidget*, const QString& text)
{
    ShowOwned(text, !forWindow_);
}

void XEVFailureBox::ShowForWindow(QWidget* parent, const QString& text)
{
    forWindow_ = true;
    XEVShowFailureText(parent, text);
    forWindow_ = false;
}

void XEVFailureBox::ShowOwned(const QString& text, bool ofDisc)
{
    if (closed_) {
        return;
    }
    if (current_ != nullptr) {
        held_.push_back(Held{text, ofDisc});
        return;
    }
    Open(text, QString(), false, ofDisc);
}

void XEVFailureBox::Ask(QWidget*, const QString& text, std::function<void(int32_t)> answered)
{
    if (closed_) {
        return;
    }
    questions_.push_back(Question{text, std::move(answered)});
    if (current_ == nullptr) {
        Next();
    }
}

void XEVFailureBox::AfterBoxes(std::function<void()> then)
{
    if (closed_) {
        return;
    }
    if (current_ == nullptr) {
        then();
        return;
    }
    afterBoxes_.push_back(std::move(then));
}

void XEVFailureBox::CloseAll()
{
    closed_ = true;
    held_.clear();
    questions_.clear();
    afterBoxes_.clear();
    answering_ = nullptr;
    current_ = nullptr;
    if (QMessageBox* box = std::exchange(box_, nullptr).data()) {
        box->disconnect(this);
        box->close();
    }
}

void XEVFailureBox::DropDisc()
{
    held_.erase(std::remove_if(held_.begin(), held_.end(), [](const Held& held) { return held.ofDisc; }), held_.end());
    questions_.clear();
    afterBoxes_.clear();
    if (current_ == nullptr || !currentOfDisc_) {
        return;
    }
    // Closed unanswered: an answer given now would act on the disc that replaces it.
    answering_ = nullptr;
    current_ = nullptr;
    if (QMessageBox* box = std::exchange(box_, nullptr).data()) {
        box->disconnect(this);
        box->close();
    }
    if (!closed_) {
        Next();
    }
}

QMessageBox* XEVFailureBox::Open(const QString& text, const QString& details, bool question, bool ofDisc)
{
    const auto buttons = question ? QMessageBox::Ok | QMessageBox::Cancel : QMessageBox::Ok;
    auto* box = new QMessageBox(question ? QMessageBox::Question : QMessageBox::Warning, QString(), text, buttons,
                                owner_.data());
    box->setDetailedText(details);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (question) {
        box->setEscapeButton(QMessageBox::Cancel);
    }
    box_ = box;
    current_ = box;
    currentOfDisc_ = ofDisc;
    ++opened_;
    // Whichever comes first: the box answered, or gone with its parent (Cancel then).
    QObject::connect(box, &QDialog::finished, this, [this, box] {
        QAbstractButton* clicked = box->clickedButton();
        OnClosed(box, clicked != nullptr && box->standardButton(clicked) == QMessageBox::Ok ? 1 : 2);
    });
    QObject::connect(box, &QObject::destroyed, this, [this, box] { OnClosed(box, 2); });
    // Not modal: Qt drops the window manager's close of a window that a modal box blocks, and a
    // close given while a box is up must close the window. The box stays above its window.
    box->setWindowModality(Qt::NonModal);
    box->show();
    return box;
}

void XEVFailureBox::OpenHeld()
{
    const std::vector<Held> held = std::exchange(held_, {});
    QString text = GetMessageString(kMoreFailuresMessage).arg(held.size());
    QStringList all;
    bool ofDisc = false;
    for (const Held& failure : held) {
        ofDisc = ofDisc || failure.ofDisc;
        all.push_back(FailureLine(failure.text));
        if (size_t(all.size()) <= kFailuresNamed) {
            text += QLatin1Char('\n') + all.back();
        }
    }
    Open(text, held.size() > kFailuresNamed ? all.join(QLatin1Char('\n')) : QString(), false, ofDisc);
}

void XEVFailureBox::OnClosed(const QMessageBox* box, int32_t answer)
{
    if (current_ != box || box == nullptr) {
        return;
    }
    current_ = nullptr;
    box_ = nullptr;
    if (std::function<void(int32_t)> answered = std::exchange(answering_, nullptr)) {
        answered(answer);
    }
    if (!closed_) {
        Next();
    }
}

void XEVFailureBox::Next()
{
    if (current_ != nullptr) {
        return;
    }
    if (!held_.empty()) {
        OpenHeld();
        return;
    }
    if (!questions_.empty()) {
        Question question = std::move(questions_.front());
        questions_.pop_front();
        answering_ = std::move(question.answered);
        Open(question.text, QString(), true, true);
        return;
    }
    for (std::function<void()>& then : std::exchange(afterBoxes_, {})) {
        if (closed_) {
            return;
        }
        then();
    }
}
