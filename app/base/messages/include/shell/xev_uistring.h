#pragma once

// Every text the user sees, by numeric id: the built-in Japanese text, replaced by a
// non-empty value in ZYLV.INI ("Strings"/"S%05d" for labels, "Message"/"M%05d" for message
// texts). The file is read on every call, so a text is fetched when it is needed.

#include <QString>

#include <cstdint>
#include <initializer_list>

// The built-in text, or "ID" and the decimal id when the table has none.
QString GetBuiltInString(uint32_t id);

QString GetUIString(uint32_t id);
QString GetMessageString(uint32_t id);
// The value of the id's key, or the current text when the key is missing or empty.
QString ReadUIStringOverride(uint32_t id, const QString& current);
QString ReadMessageOverride(uint32_t id, const QString& current);

// One value for FormatUIString: a text or an integer.
class XEVFormatValue {
public:
    XEVFormatValue(const QString& text) : text_(text), isText_(true) {}
    XEVFormatValue(int64_t number) : number_(number), isText_(false) {}
    XEVFormatValue(int32_t number) : number_(number), isText_(false) {}
    XEVFormatValue(uint32_t number) : number_(number), isText_(false) {}

    bool IsText() const { return isText_; }
    const QString& Text() const { return text_; }
    int64_t Number() const { return number_; }

private:
    QString text_;
    int64_t number_ = 0;
    bool isText_;
};

// Fills a format text of the table (date, age, time...), which ZYLV.INI may have replaced:
// each "%s" or "%d" takes the next value in order and is filled when the value is of its
// kind (text for %s, integer for %d); "%%" is one '%'. A conversion of the wrong kind, one
// past the last value and every other conversion are written as they stand, so a changed
// format never reads a value that was not given.
QString FormatUIString(const QString& format, std::initializer_list<XEVFormatValue> values);

// The eight digits of a DA value, "YYYYMMDD" or the older dotted "YYYY.MM.DD", read from the
// start up to the first character that is neither digit nor dot; empty when there are fewer.
QString XEVDateDigits(const QString& value);
// The six digits of a TM value, "HHMMSS" (fraction ignored) or the older "HH:MM:SS", read from
// the start up to the first character that is neither digit nor such a colon; empty when
// there are fewer.
QString XEVTimeDigits(const QString& value);
// A DA value through the year, month and day text of the id (20301, 20311); empty when the
// value holds no whole date.
QString XEVDateText(const QString& value, uint32_t textId);

// A message text with the path of the file it is about on a line of its own. The message
// is never used as a format.
QString MessageWithPath(const QString& message, const QString& path);
