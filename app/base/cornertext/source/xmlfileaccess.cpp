#include "viewer/xmlfileaccess.h"

#include <QStringConverter>
#include <QXmlStreamReader>

#include <limits>
#include <optional>
#include <string>

#include "platform/platfile.h"
#include "viewer/xevoverlaysettinginfo.h"

// The document, parsed once: elements with their attributes in document order, and whether
// an element has child nodes of any kind (a blank counts).
struct XmlFileAccess::Node {
    QString name;   // as written
    std::vector<std::pair<QString, QString>> attributes;
    std::vector<Node> children;   // elements only
    bool hasChildNodes = false;
};

namespace {

enum Keyword : int32_t {
    kOverlaySetting = 1,
    kFont = 2,
    kModality = 3,
    kLocation = 4,
    kLine = 5,
    kTag = 6,
    kText = 7,
    kMacro = 8,
};

// Deeper elements are parsed but not kept: nothing below a nested TAG's limit is read.
constexpr size_t kMaxKeptDepth = 5 + XmlFileAccess::kMaxNestedTagLevels + 2;

int32_t ElementKeyword(const QString& name)
{
    static const char* const names[] = {"OVERLAYSETTING", "FONT", "MODALITY", "LOCATION",
                                        "LINE",           "TAG",  "TEXT",     "MACRO"};
    const QString upper = name.trimmed().toUpper();
    for (int32_t i = 0; i < 8; ++i) {
        if (upper == QLatin1String(names[i])) {
            return i + 1;
        }
    }
    return -1;
}

struct MacroName {
    const char* keyword;
    const QString* displayName;
};

const MacroName kMacros[] = {
    {"PAGE", &kXEVMacroPage},
    {"ZOOM_RATE", &kXEVMacroZoom},
    {"WINDOW_CENTER", &kXEVMacroWindowCenter},
    {"WINDOW_WIDTH", &kXEVMacroWindowWidth},
    {"ORIENTATION_TOP", &kXEVMacroOrientationTop},
    {"ORIENTATION_BOTTOM", &kXEVMacroOrientationBottom},
    {"ORIENTATION_LEFT", &kXEVMacroOrientationLeft},
    {"ORIENTATION_RIGHT", &kXEVMacroOrientationRight},
    {"MULTIFRAME", &kXEVMacroMultiframe},
    {"JPEG_LOSSY", &kXEVMacroJpegLossy},
    {"MAMMO_LATERALITY", &kXEVMacroMammoLaterality},
};

QString FormatCode(const QString& keyword)
{
    const QString upper = keyword.toUpper();
    if (upper == QLatin1String("YYYY_MM_DD")) {
        return QStringLiteral("DT");
    }
    if (upper == QLatin1String("HH_MM_SS")) {
        return QStringLiteral("TM");
    }
    return QString();
}

const char* LocationName(int32_t position)
{
    switch (position) {
    case 0: return "UPPERLEFT";
    case 2: return "LOWERLEFT";
    case 5: return "UPPERRIGHT";
    case 7: return "LOWERRIGHT";
    default: return nullptr;
    }
}

bool IsLocationName(const QString& name)
{
    return name == QLatin1String("UPPERLEFT") || name == QLatin1String("UPPERRIGHT") ||
           name == QLatin1String("LOWERLEFT") || name == QLatin1String("LOWERRIGHT");
}

// An optional '-' and the leading decimal digits, saturated to 32 bits; no digits read 0.
int32_t ParseDecimal(const QString& text)
{
    qsizetype i = 0;
    const bool negative = i < text.size() && text[i] == u'-';
    i += negative ? 1 : 0;
    int64_t value = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
        value = value * 10 + (text[i].unicode() - u'0');
        if (value > int64_t(std::numeric_limits<int32_t>::max()) + 1) {
            value = int64_t(std::numeric_limits<int32_t>::max()) + 1;
        }
    }
    value = negative ? -value : value;
    if (value > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    return static_cast<int32_t>(value);
}

// The leading hexadecimal digits of a part written as bare digits ("0x10" reads 0, as
// "0x0x10" would); the low 16 bits count.
uint16_t ParseHexPart(const QString& part)
{
    uint32_t value = 0;
    for (const QChar c : part) {
        const char16_t u = c.unicode();
        uint32_t digit = 0;
        if (u >= u'0' && u <= u'9') {
            digit = u - u'0';
        } else if (u >= u'a' && u <= u'f') {
            digit = u - u'a' + 10;
        } else if (u >= u'A' && u <= u'F') {
            digit = u - u'A' + 10;
        } else {
            break;
        }
        value = value * 16 + digit;   // wraps; the low 16 bits stay right
    }
    return static_cast<uint16_t>(value);
}

// NO "gggg,eeee": exactly one comma with a part on each side, else 0xFFFF in both.
void ParseTagNumber(const QString& text, uint16_t& group, uint16_t& element)
{
    const QString value = text.trimmed();
    const qsizetype comma = value.indexOf(u',');
    if (comma <= 0 || comma == value.size() - 1 || value.indexOf(u',', comma + 1) >= 0) {
        group = 0xFFFF;
        element = 0xFFFF;
        return;
    }
    group = ParseHexPart(value.left(comma));
    element = ParseHexPart(value.mid(comma + 1));
}

// The first attribute whose trimmed name matches without regard to case; trimmed, except
// PREFIX, SUFFIX and the VALUE of an element written "TEXT".
template <typename Node>
QString Attribute(const Node& node, const char* wanted)
{
    for (const auto& [name, value] : node.attributes) {
        if (name.trimmed().toUpper() == QLatin1String(wanted)) {
            const QLatin1String w(wanted);
            const bool asWritten = w == QLatin1String("PREFIX") || w == QLatin1String("SUFFIX") ||
                                   (w == QLatin1String("VALUE") && node.name == QLatin1String("TEXT"));
            return asWritten ? value : value.trimmed();
        }
    }
    return QString();
}

// The index of the record with this name, its contents emptied (a later element of the same
// name replaces what an earlier one gave), or of a new record appended for it.
template <typename Record, typename Contents>
int32_t Restart(std::vector<Record>& records, const QString& name, Contents Record::*contents)
{
    for (size_t i = 0; i < records.size(); ++i) {
        if (records[i].name == name) {
            (records[i].*contents).clear();
            return static_cast<int32_t>(i);
        }
    }
    records.push_back(Record{name, {}});
    return static_cast<int32_t>(records.size()) - 1;
}

// The document's characters as the XML reader sees them: a byte-order mark or the pattern of
// "<" tells UTF-16 and UTF-32; otherwise the declaration names the encoding, UTF-8 by default.
QString DecodedText(const QByteArray& bytes)
{
    if (const std::optional<QStringConverter::Encoding> found = QStringConverter::encodingForData(bytes, u'<')) {
        return QStringDecoder(*found).decode(bytes);
    }
    QXmlStreamReader head(bytes);
    head.readNext();
    const QByteArray declared = head.documentEncoding().toLatin1();
    if (!declared.isEmpty()) {
        QStringDecoder decoder(declared.constData());
        if (decoder.isValid()) {
            return decoder.decode(bytes);
        }
    }
    return QString::fromUtf8(bytes);
}

// Past the end of the first `end` at or after from; the text's end when there is none.
qsizetype SkipPast(QStringView text, qsizetype from, QStringView end)
{
    const qsizetype at = text.indexOf(end, from);
    return at < 0 ? text.size() : at + end.size();
}

// From the character after a markup's "<" to the one after its ">", quoted values skipped:
// the '=' outside them (a start tag's attributes) and whether '[' came (a document type's
// own declarations).
struct Markup {
    qsizetype end = 0;
    uint32_t equals = 0;
    bool bracket = false;
    bool closed = false;   // "/>"
};
Markup ScanMarkup(QStringView text, qsizetype i)
{
    Markup m;
    char16_t quote = 0;
    for (; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == u'"' || c == u'\'') {
            quote = c;
        } else if (c == u'=') {
            ++m.equals;
        } else if (c == u'[') {
            m.bracket = true;
        } else if (c == u'>') {
            m.closed = text[i - 1] == u'/';
            break;
        }
    }
    m.end = i + 1;
    return m;
}

// One pass over the characters before the XML reader sees them: whether the document keeps to
// the reader's limits. A document type with declarations of its own is refused: its entities
// and default attributes would multiply what the reader does per byte.
bool WithinLimits(QStringView text)
{
    uint64_t items = 0;
    uint32_t depth = 0;
    qsizetype i = 0;
    while ((i = text.indexOf(u'<', i)) >= 0) {
        const QStringView rest = text.mid(i);
        if (rest.startsWith(u"<!--")) {
            i = SkipPast(text, i + 4, u"-->");
        } else if (rest.startsWith(u"<![CDATA[")) {
            i = SkipPast(text, i + 9, u"]]>");
        } else if (rest.startsWith(u"<?")) {
            i = SkipPast(text, i + 2, u"?>");
        } else if (rest.startsWith(u"</")) {
            depth -= depth > 0 ? 1 : 0;
            i = SkipPast(text, i + 2, u">");
        } else {
            const Markup m = ScanMarkup(text, i + 1);
            if (rest.startsWith(u"<!")) {
                if (m.bracket) {
                    return false;
                }
            } else {
                items += 1 + m.equals;
                depth += m.closed ? 0 : 1;
                if (m.equals > XmlFileAccess::kAttributeLimit || depth > XmlFileAccess::kDepthLimit ||
                    items > XmlFileAccess::kItemLimit) {
                    return false;
                }
            }
            i = m.end;
        }
    }
    return true;
}

}   // namespace

QString OverlayMacroDisplayName(const QString& keyword)
{
    const QString upper = keyword.toUpper();
    for (const MacroName& macro : kMacros) {
        if (upper == QLatin1String(macro.keyword)) {
            return *macro.displayName;
        }
    }
    return QString();
}

PlatReadResult XmlFileAccess::LoadFile(const std::string& path)
{
    // Beside the program, on the disc: never a pipe or a device, and never near the limit.
    std::string bytes;
    const PlatReadResult read = PlatReadRegularFileUpTo(path, kPlatOwnFileLimit, bytes);
    if (read != PlatReadResult::Read) {
        return read;
    }
    return Parse(QByteArray::fromStdString(bytes));
}

PlatReadResult XmlFileAccess::Parse(const QByteArray& bytes)
{
    if (!WithinLimits(DecodedText(bytes))) {
        return PlatReadResult::TooLarge;
    }
    Node root;
    bool haveRoot = false;
    std::vector<Node*> open;
    size_t skipped = 0;   // open elements below the kept depth
    QXmlStreamReader reader(bytes);
    reader.setNamespaceProcessing(false);
    while (!reader.atEnd()) {
        switch (reader.readNext()) {
        case QXmlStreamReader::StartElement: {
            Node* node = nullptr;
            if (open.empty()) {
                node = &root;
                haveRoot = true;
            } else {
                open.back()->hasChildNodes = skipped == 0 ? true : open.back()->hasChildNodes;
                if (skipped != 0 || open.size() >= kMaxKeptDepth) {
                    ++skipped;
                    break;
                }
                open.back()->children.emplace_back();
                node = &open.back()->children.back();
            }
            node->name = reader.qualifiedName().toString();
            const QXmlStreamAttributes attributes = reader.attributes();
            node->attributes.reserve(attributes.size());
            for (const QXmlStreamAttribute& a : attributes) {
                node->attributes.emplace_back(a.qualifiedName().toString(), a.value().toString());
            }
            open.push_back(node);
            break;
        }
        case QXmlStreamReader::EndElement:
            if (skipped != 0) {
                --skipped;
            } else if (!open.empty()) {
                open.pop_back();
            }
            break;
        case QXmlStreamReader::Characters:
        case QXmlStreamReader::Comment:
        case QXmlStreamReader::ProcessingInstruction:
        case QXmlStreamReader::EntityReference:
            if (!open.empty() && skipped == 0) {
                open.back()->hasChildNodes = true;
            }
            break;
        default: break;
        }
    }
    if (reader.hasError() || !haveRoot || ElementKeyword(root.name) != kOverlaySetting) {
        return PlatReadResult::Failed;
    }
    Walk(root, -1, -1);
    CheckLines();
    return PlatReadResult::Read;
}

void XmlFileAccess::Walk(const Node& node, int32_t modality, int32_t location)
{
    const QString name = node.name.toUpper();
    for (const Node& child : node.children) {
        const int32_t keyword = ElementKeyword(child.name);
        if (keyword > 0) {
            HandleChild(keyword, name, child, modality, location);
        }
    }
}

void XmlFileAccess::HandleChild(int32_t keyword, const QString& parentName, const Node& child, int32_t modality,
                                int32_t location)
{
    auto under = [&parentName](const char* parent) { return parentName == QLatin1String(parent); };

    if (keyword == kFont && under("OVERLAYSETTING")) {
        fontFaceName = Attribute(child, "NAME");
        fontPointSize = ParseDecimal(Attribute(child, "SIZE"));
    } else if (keyword == kModality && under("OVERLAYSETTING")) {
        const QString name = Attribute(child, "NAME");
        if (name.isEmpty()) {
            return;
        }
        const int32_t found = Restart(modalities, name, &OverlayModalityRecord::locations);
        Walk(child, found, -1);
    } else if (keyword == kLocation && under("MODALITY") && modality >= 0) {
        const QString name = Attribute(child, "VALUE").toUpper();
        if (!IsLocationName(name)) {
            return;
        }
        const int32_t found = Restart(modalities[modality].locations, name, &OverlayLocationRecord::items);
        Walk(child, modality, found);
    } else if (keyword == kLine && under("LOCATION") && location >= 0) {
        Walk(child, modality, location);
        OverlayItemRecord closing;
        closing.kind = OverlayItemRecord::kText;
        closing.lineEnd = 1;
        modalities[modality].locations[location].items.push_back(std::move(closing));
    } else if (under("LINE") && location >= 0 && (keyword == kTag || keyword == kText || keyword == kMacro)) {
        OverlayItemRecord record;
        if (keyword == kTag) {
            record = ReadTag(child, 0);
        } else if (keyword == kText) {
            record.kind = OverlayItemRecord::kText;
            record.str = Attribute(child, "VALUE");
        } else {
            record.kind = OverlayItemRecord::kMacro;
            record.str = Attribute(child, "VALUE");
            record.prefix = Attribute(child, "PREFIX");
            record.suffix = Attribute(child, "SUFFIX");
        }
        modalities[modality].locations[location].items.push_back(std::move(record));
    }
}

OverlayItemRecord XmlFileAccess::ReadTag(const Node& tag, int32_t level) const
{
    auto readAttributes = [&tag](OverlayItemRecord& record) {
        ParseTagNumber(Attribute(tag, "NO"), record.group, record.element);
        record.index = ParseDecimal(Attribute(tag, "INDEX"));
        record.prefix = Attribute(tag, "PREFIX");
        record.suffix = Attribute(tag, "SUFFIX");
        const QString format = Attribute(tag, "FORMAT");
        record.str = FormatCode(format);
        if (!format.isEmpty() && record.str.isEmpty()) {
            record.group = 0xFFFF;
            record.element = 0xFFFF;
        }
    };

    OverlayItemRecord record;
    record.kind = OverlayItemRecord::kTag;
    // A TAG with any child node reads its own attributes only beside a TAG inside it;
    // at the nesting limit the inner TAGs are ignored.
    if (!tag.hasChildNodes || level >= kMaxNestedTagLevels) {
        readAttributes(record);
        return record;
    }
    // The last TAG inside wins; the attributes are this TAG's whichever it is.
    const Node* inner = nullptr;
    for (const Node& child : tag.children) {
        inner = ElementKeyword(child.name) == kTag ? &child : inner;
    }
    if (inner != nullptr) {
        readAttributes(record);
        record.nested = std::make_unique<OverlayItemRecord>(ReadTag(*inner, level + 1));
    }
    return record;
}

void XmlFileAccess::CheckLines()
{
    for (OverlayModalityRecord& modality : modalities) {
        for (OverlayLocationRecord& location : modality.locations) {
            std::vector<OverlayItemRecord>& items = location.items;
            if (items.empty()) {
                continue;
            }
            items.pop_back();   // the last line needs no break
            size_t begin = 0;
            for (size_t i = 0; i < items.size(); ++i) {
                if (items[i].lineEnd != 1 && i + 1 != items.size()) {
                    continue;
                }
                bool bad = false;
                for (size_t j = begin; j <= i; ++j) {
                    const OverlayItemRecord& r = items[j];
                    bad = bad || r.group == 0xFFFF || r.element == 0xFFFF || r.index < 0 || r.index > 5 ||
                          (r.kind == OverlayItemRecord::kMacro && !r.str.isEmpty() &&
                           OverlayMacroDisplayName(r.str).isEmpty());
                }
                if (bad) {
                    for (size_t j = begin; j <= i; ++j) {
                        if (items[j].lineEnd == 1) {
                            continue;
                        }
                        items[j].group = 0xFFFF;
                        items[j].element = 0xFFFF;
                        items[j].str.clear();
                    }
                }
                begin = i + 1;
            }
        }
    }
}

const OverlayLocationRecord* XmlFileAccess::FindLocation(const QString& modality, int32_t position) const
{
    const char* wanted = LocationName(position);
    if (wanted == nullptr) {
        return nullptr;
    }
    for (const OverlayModalityRecord& record : modalities) {
        if (record.name != modality) {
            continue;
        }
        for (const OverlayLocationRecord& location : record.locations) {
            if (location.name == QLatin1String(wanted)) {
                return &location;
            }
        }
        return nullptr;
    }
    return nullptr;
}

bool XmlFileAccess::HasLocation(const QString& modality, int32_t position) const
{
    return FindLocation(modality, position) != nullptr;
}

int32_t XmlFileAccess::ConvertToSettings(XEVOverlaySettingInfo& settings, const QString& modality,
                                         int32_t position) const
{
    const OverlayLocationRecord* location = FindLocation(modality, position);
    if (location == nullptr) {
        location = FindLocation(QStringLiteral("OTHER"), position);
    }
    if (location == nullptr) {
        return 1;
    }
    XEVOverlaySettingInfoItem item;
    for (const OverlayItemRecord& record : location->items) {
        item.Reset();
        switch (record.kind) {
        case OverlayItemRecord::kTag:
            item.kind = XEVOverlaySettingInfoItem::kTag;
            item.group = record.group;
            item.element = record.element;
            item.format = record.str;
            item.prefix = record.prefix;
            item.suffix = record.suffix;
            item.index = record.index;
            item.nested = record.nested.get();
            item.appendSeparator = 0;
            break;
        case OverlayItemRecord::kText:
            item.kind = XEVOverlaySettingInfoItem::kText;
            item.text = record.lineEnd == 0 ? record.str : QString();
            item.appendSeparator = record.lineEnd;
            break;
        case OverlayItemRecord::kMacro:
            item.kind = XEVOverlaySettingInfoItem::kMacro;
            item.macroName = OverlayMacroDisplayName(record.str);
            item.prefix = record.prefix;
            item.suffix = record.suffix;
            item.appendSeparator = 0;
            break;
        default: continue;
        }
        settings.AddItem(position, item);
    }
    return 1;
}
