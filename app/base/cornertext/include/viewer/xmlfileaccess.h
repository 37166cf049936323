#pragma once

// Reader of the corner-text settings file "OVERLAY.XML": a tree of modalities, corners
// (locations) and the records of their lines, turned into XEVOverlaySettingInfo one corner
// at a time.

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/platfile.h"

class XEVOverlaySettingInfo;

// One TAG, TEXT or MACRO of a LINE, or the record that closes a LINE.
struct OverlayItemRecord {
    enum Kind : int32_t { kTag = 6, kText = 7, kMacro = 8 };

    int32_t kind = kTag;
    uint16_t group = 0;   // TAG: the NO attribute; 0xFFFF in both: invalid
    uint16_t element = 0;
    int32_t index = 0;   // TAG: INDEX
    QString str;         // TAG: format code ("DT", "TM", ""); TEXT: the text; MACRO: the keyword
    QString prefix;
    QString suffix;
    int32_t lineEnd = 0;                         // 1 only on the record that closes a LINE
    std::unique_ptr<OverlayItemRecord> nested;   // TAG: the TAG written inside it
};

struct OverlayLocationRecord {
    QString name;   // "UPPERLEFT", "UPPERRIGHT", "LOWERLEFT" or "LOWERRIGHT"
    std::vector<OverlayItemRecord> items;
};

struct OverlayModalityRecord {
    QString name;   // trimmed, letter case as written
    std::vector<OverlayLocationRecord> locations;
};

class XmlFileAccess {
public:
    // TAGs written inside TAGs deeper than this are ignored.
    static constexpr int32_t kMaxNestedTagLevels = 32;
    // What a corner-text file may hold before it is read at all, so that parsing stays linear
    // and small: elements and attributes together, elements open at once, and attributes of
    // one element (the XML reader checks each attribute against those before it). A real file
    // holds a few hundred elements of a few attributes, six levels deep.
    static constexpr uint32_t kItemLimit = 65536;
    static constexpr uint32_t kDepthLimit = 256;
    static constexpr uint32_t kAttributeLimit = 256;

    XmlFileAccess() = default;
    XmlFileAccess(const XmlFileAccess&) = delete;
    XmlFileAccess& operator=(const XmlFileAccess&) = delete;

    // Qt's XML reader is always there; kept for the settings loader's check.
    bool HasDocumentLayer() const { return true; }

    // Reads the file (UTF-8 path) into the tree; false when it cannot be read, is not
    // well-formed XML or its root is not OVERLAYSETTING.
    bool Load(const std::string& path) { return LoadFile(path) == PlatReadResult::Read; }
    // The same, telling a file past kPlatOwnFileLimit or past the limits above, or one that
    // declares a document type of its own (TooLarge: nothing of it is read), from one that
    // cannot be read or parsed (Failed).
    PlatReadResult LoadFile(const std::string& path);
    bool LoadFromData(const QByteArray& bytes) { return Parse(bytes) == PlatReadResult::Read; }
    PlatReadResult Parse(const QByteArray& bytes);

    // Adds the items of one corner (positions 0, 2, 5, 7) of the modality, or of "OTHER"
    // when the modality lacks that corner, to the settings. Always 1.
    int32_t ConvertToSettings(XEVOverlaySettingInfo& settings, const QString& modality, int32_t position) const;

    // Whether the file names this corner for exactly this modality.
    bool HasLocation(const QString& modality, int32_t position) const;

    QString fontFaceName;
    int32_t fontPointSize = 0;
    std::vector<OverlayModalityRecord> modalities;

private:
    struct Node;
    void Walk(const Node& node, int32_t modality, int32_t location);
    void HandleChild(int32_t keyword, const QString& parentName, const Node& child, int32_t modality, int32_t location);
    OverlayItemRecord ReadTag(const Node& tag, int32_t level) const;
    void CheckLines();
    const OverlayLocationRecord* FindLocation(const QString& modality, int32_t position) const;
};

// Macro keyword of the file ("ZOOM_RATE", any case) to its display name; empty when unknown.
QString OverlayMacroDisplayName(const QString& keyword);
