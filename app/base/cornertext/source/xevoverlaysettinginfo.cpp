#include "viewer/xevoverlaysettinginfo.h"

#include "shell/xev_uistring.h"

namespace {

bool IsPosition(int32_t position)
{
    return position >= 0 && position < kXEVOverlayPositionCount;
}

}   // namespace

// "DT": yyyy/mm/dd from the date's eight digits, also of the older dotted form; "TM":
// hh:mm:ss from the time's six digits, also of the older form with colons.
QString FormatDateTimeText(const QString& format, const QString& value)
{
    if (format == QLatin1String("DT")) {
        const QString digits = XEVDateDigits(value);
        if (!digits.isEmpty()) {
            return digits.left(4) + u'/' + digits.mid(4, 2) + u'/' + digits.mid(6, 2);
        }
    }
    if (format == QLatin1String("TM")) {
        const QString digits = XEVTimeDigits(value);
        if (!digits.isEmpty()) {
            return digits.left(2) + u':' + digits.mid(2, 2) + u':' + digits.mid(4, 2);
        }
    }
    return value;
}

void XEVOverlaySettingInfo::AddItem(int32_t position, const XEVOverlaySettingInfoItem& item)
{
    if (!IsPosition(position)) {
        return;
    }
    PositionMap& map = positions_[position];
    map.emplace(static_cast<int32_t>(map.size()) + 1, item);
}

const XEVOverlaySettingInfoItem& XEVOverlaySettingInfo::GetItem(int32_t line, int32_t position) const
{
    static const XEVOverlaySettingInfoItem& defaultItem = *new XEVOverlaySettingInfoItem;
    const PositionMap& map = GetPositionMap(position);
    const auto found = map.find(line);
    return found == map.end() ? defaultItem : found->second;
}

const XEVOverlaySettingInfo::PositionMap& XEVOverlaySettingInfo::GetPositionMap(int32_t position) const
{
    static const PositionMap& empty = *new PositionMap;
    return IsPosition(position) ? positions_[position] : empty;
}

QString FormatOverlayItemText(bool show, const XEVOverlaySettingInfoItem& item, const QString& macroValue)
{
    QString text;
    if (show) {
        switch (item.kind) {
        case XEVOverlaySettingInfoItem::kTag:
            if (!item.value.isEmpty()) {
                text = item.prefix + FormatDateTimeText(item.format, item.value) + item.suffix;
            }
            break;
        case XEVOverlaySettingInfoItem::kMacro: text = item.prefix + macroValue + item.suffix; break;
        case XEVOverlaySettingInfoItem::kText: text = item.prefix + item.text + item.suffix; break;
        default: break;
        }
    }
    if (item.appendSeparator != 0) {
        text += item.separator;
    }
    return text;
}
