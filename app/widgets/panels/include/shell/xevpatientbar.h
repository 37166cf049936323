#pragma once

// The skinned patient panels: one bar per patient in the study list, the patient view of
// the tool pane, and a static that shows one built-in bitmap centred.

#include <QFont>
#include <QFontMetrics>
#include <QString>
#include <QWidget>

#include <array>

#include <cstdint>
#include <functional>

#include "shell/xevbitmap.h"

class PatientInfo;

// What the panels show of a patient, copied so that they never read the list's records.
struct XEVPatientFields {
    QString nameIdeographic;   // the first name form
    QString nameAlphabetic;    // the second name form
    QString birthDate;         // DICOM DA text
    QString sex;
    QString ageText;
    int32_t age = 0;
    QString patientId;

    static XEVPatientFields From(const PatientInfo& patient);
};

// The age through its text; empty when the patient has no age text.
QString XEVAgeText(const XEVPatientFields& patient);

// One line cut with an ellipsis to a width, made again only when the text, the font or the
// width changed: a paint draws what the last one made, and a text longer than any line can
// show is cut before it is measured.
class XEVElidedLine {
public:
    static constexpr qsizetype kTextLength = 1024;

    const QString& Elide(const QString& text, const QFontMetrics& metrics, const QFont& font, int32_t width);
    // How many times a text was measured, for the tests.
    int32_t Made() const { return made_; }

private:
    QString text_;
    QString fontKey_;
    int32_t width_ = -1;
    qreal dpi_ = 0;
    QString shown_;
    int32_t made_ = 0;
};

class XEVPatientBarCtrl : public QWidget {
public:
    // The normal skin of every bar but the last.
    explicit XEVPatientBarCtrl(QWidget* parent = nullptr);
    // The last bar's normal skin.
    struct LastEntry {};
    XEVPatientBarCtrl(LastEntry, QWidget* parent = nullptr);
    // A bar reused for another entry takes that entry's skin.
    void SetLastEntry(bool last);

    void SetPatientInfo(const PatientInfo& patient) { patient_ = XEVPatientFields::From(patient); }
    void SetPatient(const XEVPatientFields& patient) { patient_ = patient; }
    const XEVPatientFields& Patient() const { return patient_; }
    // The name line as painted last, for the tests.
    const XEVElidedLine& NameLine() const { return lines_[0]; }

    // 1 while the patient's study tree is open below the bar; the owner repaints.
    int32_t selected = 0;
    // 10001 + the patient's index in the list.
    int32_t controlId = 0;
    // The frame's series-composition switch to this bar's patient (index = control id -
    // 10001); true when it took the double click. Unset, every double click is notified.
    std::function<bool(int32_t patientIndex)> switchRequest;
    // The default handling of a double click: tells the study list the bar's control id.
    std::function<void(int32_t controlId)> doubleClickNotify;

    void OnLButtonDblClk();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    XEVPatientFields patient_;
    std::array<XEVElidedLine, 2> lines_;
    CXEVBitmap selectedSkin_{209};
    CXEVBitmap normalSkin_;
};

class CXEVPatientView : public QWidget {
public:
    explicit CXEVPatientView(QWidget* parent = nullptr);

    // Copies the patient and repaints at once.
    void SetPatientInfo(const PatientInfo& patient);
    void SetPatient(const XEVPatientFields& patient);
    // Back to the background alone, as before the first patient; repaints at once.
    void Clear();
    int32_t Filled() const { return filled_; }
    // The first name line as painted last, for the tests.
    const XEVElidedLine& NameLine() const { return lines_[0]; }

protected:
    // The background only until a patient is set.
    void paintEvent(QPaintEvent* event) override;

private:
    XEVPatientFields patient_;
    std::array<XEVElidedLine, 4> lines_;
    int32_t filled_ = 0;
    CXEVBitmap background_{218};
};

class CXEVPictureCtrl : public QWidget {
public:
    explicit CXEVPictureCtrl(uint16_t resourceId, QWidget* parent = nullptr);

protected:
    // Centred at its own size; a larger bitmap is cut evenly on both sides.
    void paintEvent(QPaintEvent* event) override;

private:
    CXEVBitmap bitmap_;
};
