#pragma once

#include <QString>

#include <string>

#include "platform/platcodepage.h"
#include "shell/xev_utility.h"
#include "vek_dicomtagobj.h"

inline QString VekToQString(const VEK_WString& text)
{
    return QString(reinterpret_cast<const QChar*>(text.c_str()), static_cast<qsizetype>(text.size()));
}

// ISO 2022 JIS bytes to text through Shift-JIS; the fallback when the conversion fails.
inline QString DecodeJisBytes(const std::string& bytes, const QString& fallback)
{
    // Each lone LF may become CR LF.
    std::string converted(2 * bytes.size() + 1, '\0');
    ConvertJisToShiftJis(bytes.c_str(), converted.data(), converted.size());
    converted.resize(std::char_traits<char>::length(converted.c_str()));
    std::u16string wide;
    if (PlatMultiByteToUtf16(932, converted, wide) != PlatConvertStatus::Ok) {
        return fallback;
    }
    return QString::fromStdU16String(wide);
}
