#include "xmlfileaccessfuzzentry.h"

#include <set>

#include "viewer/xevoverlaysettinginfo.h"
#include "viewer/xmlfileaccess.h"

XmlFuzzReport XmlFuzzLoadOverlay(const uint8_t* data, size_t size)
{
    XmlFuzzReport report;
    auto check = [&report](bool holds) { report.broken += holds ? 0 : 1; };

    XmlFileAccess reader;
    report.loaded = reader.LoadFromData(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
    report.modalities = static_cast<uint32_t>(reader.modalities.size());

    std::set<QString> modalityNames;
    for (const OverlayModalityRecord& modality : reader.modalities) {
        check(!modality.name.isEmpty() && modality.name == modality.name.trimmed());
        check(modalityNames.insert(modality.name).second);
        std::set<QString> corners;
        for (const OverlayLocationRecord& location : modality.locations) {
            check(corners.insert(location.name).second);
            size_t lineStart = 0;
            const auto& items = location.items;
            report.records += static_cast<uint32_t>(items.size());
            for (size_t i = 0; i < items.size(); ++i) {
                const OverlayItemRecord& r = items[i];
                check(r.kind >= OverlayItemRecord::kTag && r.kind <= OverlayItemRecord::kMacro);
                check(r.lineEnd == 0 || (r.kind == OverlayItemRecord::kText && r.str.isEmpty()));
                int depth = 0;
                for (const OverlayItemRecord* n = r.nested.get(); n != nullptr; n = n->nested.get()) {
                    ++depth;
                }
                check(depth <= XmlFileAccess::kMaxNestedTagLevels);
                if (r.lineEnd == 1 || i + 1 == items.size()) {
                    // A line is emptied whole or not at all.
                    bool anyInvalid = false;
                    bool allInvalid = true;
                    for (size_t j = lineStart; j <= i; ++j) {
                        if (items[j].lineEnd == 1) {
                            continue;
                        }
                        const bool invalid = items[j].group == 0xFFFF && items[j].element == 0xFFFF;
                        anyInvalid = anyInvalid || invalid;
                        allInvalid = allInvalid && invalid;
                        check(items[j].index >= 0 && items[j].index <= 5 ? true : invalid);
                    }
                    check(!anyInvalid || allInvalid);
                    lineStart = i + 1;
                }
            }
        }
    }

    std::vector<QString> names;
    for (const OverlayModalityRecord& modality : reader.modalities) {
        names.push_back(modality.name);
    }
    names.push_back(QStringLiteral("OTHER"));
    for (const QString& name : names) {
        XEVOverlaySettingInfo settings;
        for (int32_t position = -1; position <= 8; ++position) {
            check(reader.ConvertToSettings(settings, name, position) == 1);
        }
        for (int32_t position = 0; position < kXEVOverlayPositionCount; ++position) {
            const auto& map = settings.GetPositionMap(position);
            check(position == 0 || position == 2 || position == 5 || position == 7 || map.empty());
            int32_t expected = 1;
            for (const auto& [line, item] : map) {
                check(line == expected++);
                (void)FormatOverlayItemText(true, item, QStringLiteral("v"));
                ++report.items;
            }
        }
    }
    return report;
}
