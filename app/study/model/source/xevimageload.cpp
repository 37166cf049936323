// Decoding one frame of a DICOM file into its frame memory: the engine chain read, palette,
// stored-bits mask, rescale or modality LUT, VOI LUT, then the window values.

#include <atomic>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>

#include "platform/platbudget.h"
#include "platform/platcodepage.h"
#include "platform/platfile.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevmessageids.h"
#include "shell/xevziparchive.h"
#include "study/xevframeheader.h"
#include "study/xevjobhost.h"
#include "study/xevloadstate.h"
#include "study/xevsourcehead.h"
#include "study/xevstudymodel.h"
#include "study/xevvekhelper.h"
#include "vek_and.h"
#include "vek_applypalette.h"
#include "vek_convertdatatype.h"
#include "vek_fileinputstorage.h"
#include "vek_lut.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_readdicom.h"
#include "vek_samplerange.h"
#include "vek_signedextension.h"
#include "xevdicomvalues.h"
#include "xevstudytext.h"

namespace {

constexpr uint32_t kVrOW = 0x574F;
// Values longer than this go back to the file once an image's header is read: none of its
// frames or texts reads one.
constexpr uint32_t kKeptValueLength = 1u << 20;
const char16_t kCRClass[] = u"1.2.840.10008.5.1.4.1.1.1";

// The whole-file buffer of this thread's loads, kept from one load to the next up to a size
// most images fit: freed after every load, it had glibc hand the heap back each time and the
// next load fault its pages in again.
constexpr size_t kKeptBufferLimit = size_t(8) << 20;

struct KeptBuffer {
    void* data = nullptr;
    size_t size = 0;
    ~KeptBuffer() { std::free(data); }
};
thread_local KeptBuffer keptBuffer;

// A block of at least size bytes, the kept one when it is large enough; null when none.
void* TakeBuffer(size_t size, size_t& capacity)
{
    if (keptBuffer.data != nullptr && keptBuffer.size >= size) {
        capacity = keptBuffer.size;
        return std::exchange(keptBuffer.data, nullptr);
    }
    // Too small to serve: a larger one takes its place after this load.
    std::free(std::exchange(keptBuffer.data, nullptr));
    capacity = size;
    return std::malloc(size);
}

void ReturnBuffer(void* data, size_t capacity)
{
    if (data == nullptr) {
        return;
    }
    if (capacity > kKeptBufferLimit || keptBuffer.data != nullptr) {
        std::free(data);
        return;
    }
    keptBuffer.data = data;
    keptBuffer.size = capacity;
}

// Destroys a storage, and the file bytes a memory storage reads, when the call leaves.
struct StorageHolder {
    VEK_InputStorage* storage = nullptr;
    void* bytes = nullptr;
    size_t capacity = 0;
    ~StorageHolder()
    {
        vek_destroy(storage);
        ReturnBuffer(bytes, capacity);
    }
};

// The message and status of a failed load.
struct HeaderFailure {
    uint32_t messageId;
    int32_t statusCode;
};
// A file that would not open: one that is there but too large for the reader (2 GiB or more)
// cannot be read; any other is not found.
HeaderFailure OpenFailure(const QString& path)
{
    uint64_t size = 0;
    if (XEVSourceSize(path, size) && size > uint64_t(INT32_MAX)) {
        return {10008, -2003};
    }
    return {10005, XEVVEKHelper::kStatusFileNotFound};
}

// A header the reader refused: its format error (a compression or colour form the reader does
// not take), or the image's description refused once its elements were read (a palette it
// refuses, with its data error or, a table that does not match its descriptor, without a
// word), is an image it cannot read, as its listing took it; a header whose elements passed
// the load's budget is out of memory; anything else leaves the tags unreadable.
HeaderFailure HeaderParseFailure(bool refused, uint32_t code, bool hasPixels)
{
    if (refused) {
        return {10006, XEVVEKHelper::kStatusLoadBudget};
    }
    const bool error = (code & 0x80000000u) != 0;
    if (code == VEK_ERROR_FORMAT || ((code == VEK_ERROR_DATA || !error) && hasPixels)) {
        return {10008, -2003};
    }
    return {10007, -2002};
}

HeaderFailure HeaderLoadFailure(XEVReadManager& manager, uint64_t refusalsBefore, const VEK_DICOMInfo& info)
{
    return HeaderParseFailure(manager.RefusedSince(refusalsBefore), manager.status().code(),
                              info.exist(0x7FE0, 0x0010));
}

// What an image's manager may hold at once; only tests change it.
std::atomic<uint64_t> loadMemoryBudget{kPlatLoadMemoryBudget};

// A file up to this size is read whole when its header is loaded, so that parsing it makes no
// system call per element; later frames of a multi-frame file are read from the file.
constexpr int32_t kWholeFileLimit = 32 << 20;

void ReadWholeFile(VEK_Manager* manager, StorageHolder& holder)
{
    const int32_t size = holder.storage->size();
    if (size <= 0 || size > kWholeFileLimit) {
        return;
    }
    // Not from the manager: a refusal here is no failure of the load.
    size_t capacity = 0;
    void* bytes = TakeBuffer(size_t(size), capacity);
    if (bytes == nullptr) {
        return;
    }
    if (holder.storage->read(bytes, size) != size) {
        ReturnBuffer(bytes, capacity);
        holder.storage->seek(0);
        return;
    }
    VEK_ByteArrayInputStorage* memory = vek_create<VEK_ByteArrayInputStorage>(manager, bytes, size);
    if (memory == nullptr) {
        ReturnBuffer(bytes, capacity);
        holder.storage->seek(0);
        return;
    }
    vek_destroy(holder.storage);
    holder.storage = memory;
    holder.bytes = bytes;
    holder.capacity = capacity;
}

}   // namespace

void XEVSetLoadMemoryBudget(uint64_t bytes)
{
    loadMemoryBudget.store(bytes != 0 ? bytes : kPlatLoadMemoryBudget);
}

uint64_t XEVLoadMemoryBudget()
{
    return loadMemoryBudget.load();
}

namespace {

// What a frame's load reads of the frame from the header: read ahead of the image's lock, it is
// handed to the decode whole.
struct FrameValues {
    int32_t frame = 0;
    uint32_t bitsStored = 0;
    bool paletteColour = false;
    std::unique_ptr<FrameImageInfo> record;
    double slope = 1.0;
    double intercept = 0;
    double centre = 0;
    double width = 0;
    QString rescaleType;
    int32_t windowPresent = 0;
    int32_t voiPresent = 0;
};

}   // namespace

// What one frame's load carries from step to step.
struct XEVVEKHelper::FrameLoad : FrameValues {
    QString path;
    std::string narrowPath;
    XEVStagedFile* staged = nullptr;
    StorageHolder holder;
    bool firstOfFile = false;
    // The window comes from the values in memory once they are written.
    bool rangeWindow = false;
    // The values the pixel-value readout reads where memory cannot hold them exactly, in the
    // frame's probe buffer: value = sample x factor + offset. Bits 0: the readout reads memory.
    int32_t probeBits = 0;
    int32_t probeSigned = 0;
    double probeFactor = 1.0;
    double probeOffset = 0;
    // The ends of memory's type that a whole-number rescale of the stored bits' range passes:
    // memory is checked at those ends once written.
    bool clampLow = false;
    bool clampHigh = false;
    // Memory's lowest and highest value once a step has asked for them; ranged false when
    // they cannot be found.
    bool rangeTaken = false;
    bool ranged = false;
    double lowest = 0;
    double highest = 0;
    // The manager's budget refusals before this load: any more, and the load passed its budget.
    uint64_t budgetRefusals = 0;
    // The values read before the lock; null: read under it.
    XEVAheadValues* ahead = nullptr;
};

// The values of a frame's load read before the image's lock, by a helper of the load's own
// from the header lent (a later frame) or parsed by the staged read.
struct XEVAheadValues {
    XEVVEKHelper reader;
    XEVVEKHelper::FrameLoad values;
    std::unique_ptr<XEVParsedHeader> lent;
    bool firstOfFile = true;
    bool read = false;
    // ReadFrameValues' result: 0 with the reader's status set.
    int32_t result = 0;
};

namespace {

// The bounded text of one value; false when it is absent or unreadable.
bool ReadTextValue(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, uint32_t bytes, QString& out,
                   bool& cut)
{
    // The text is made from the bytes kept, never from the whole value: a value of megabytes
    // costs what the bound lets through.
    XEVNoteValueParse();
    XEVReadManager local(loadMemoryBudget.load());
    VEK_WString text(&local);
    cut = false;
    if (!info.get_string_prefix(group, element, text, bytes, &cut)) {
        return false;
    }
    out = VekToQString(text);
    return true;
}

}   // namespace

QString DicomTextValue(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, uint32_t bytes, bool* cut)
{
    QString text;
    bool longer = false;
    ReadTextValue(info, group, element, bytes, text, longer);
    if (cut != nullptr) {
        *cut = longer;
    }
    return text;
}

QStringList DicomTextValues(const VEK_DICOMTagObj& info, uint16_t group, uint16_t element, qsizetype count)
{
    QString text;
    bool cut = false;
    if (!ReadTextValue(info, group, element, kXEVTextValueLength, text, cut) || count <= 0) {
        return {};
    }
    QStringList values;
    qsizetype start = 0;
    while (values.size() < count) {
        const qsizetype slash = text.indexOf(QLatin1Char('\\'), start);
        if (slash < 0) {
            // The last piece of a cut value is not the value the file holds.
            if (!cut) {
                values.push_back(text.mid(start));
            }
            break;
        }
        values.push_back(text.mid(start, slash - start));
        start = slash + 1;
    }
    return values;
}

// Descriptor and data of the first item of a LUT sequence; false when any part is missing.
bool ReadLutItem(VEK_Manager* manager, const VEK_DICOMTagObj& info, uint16_t sequence, std::vector<int32_t>& descriptor,
                 std::vector<int32_t>& data)
{
    XEVReadManager local(loadMemoryBudget.load());
    if (manager == nullptr) {
        manager = &local;
    }
    VEK_DICOMTagObj item(info);
    if (!info.get_item(0x0028, sequence, 0, item) || !item.exist(0x0028, 0x3002) || !item.exist(0x0028, 0x3006)) {
        return false;
    }
    VEK_Vector<int> values(manager);
    // One value past the three tells a descriptor of more apart; the rest stay unread.
    if (!item.get_long_values(0x0028, 0x3002, values, VEK_DICOM_VR_OWN, 4) || values.size() != 3) {
        return false;
    }
    descriptor.assign(values.begin(), values.end());
    // The descriptor's first value is an unsigned count even where the VR reads it signed.
    const uint32_t entries = descriptor[0] == 0 ? 65536u : uint32_t(descriptor[0]) & 0xFFFF;
    descriptor[0] = int32_t(entries == 65536u ? 0 : entries);
    data.clear();
    if (item.get_vr(0x0028, 0x3006) == kVrOW) {
        const void* pointer = nullptr;
        if (!item.get_value_pointer(0x0028, 0x3006, pointer) || pointer == nullptr) {
            return false;
        }
        // Only the words present, at most the descriptor's count.
        const uint32_t words = std::min<uint32_t>(item.get_length(0x0028, 0x3006) / 2, entries);
        const uint8_t* bytes = static_cast<const uint8_t*>(pointer);
        for (uint32_t i = 0; i < words; ++i) {
            uint16_t word;
            std::memcpy(&word, bytes + 2 * i, 2);
            data.push_back(word);
        }
        return true;
    }
    VEK_Vector<int> list(manager);
    if (!item.get_long_values(0x0028, 0x3006, list, VEK_DICOM_VR_OWN, entries)) {
        return false;
    }
    data.assign(list.begin(), list.end());
    return true;
}

void XEVVEKHelper::ResetFileValues()
{
    FileValues() = XEVFileValues{};
    frameCount = 1;
}

void XEVVEKHelper::ReadFileValues(uint64_t fileSize)
{
    XEVNoteValueParse();
    // A count past the frames the data holds would lay out frames that cannot be read.
    frameCount = XEVFileFrameCount(dicomInfo, fileSize);
    transferSyntax = DicomTextValue(dicomInfo, 0x0002, 0x0010).trimmed();
    lossyFlag = DicomTextValue(dicomInfo, 0x0028, 0x2110).trimmed();
    sopClassUid = DicomTextValue(dicomInfo, 0x0008, 0x0016).trimmed();
    GroupValues shared;
    if (ReadFunctionalGroups(sopClassUid, dicomInfo, -1, shared) != 0) {
        rescaleIntercept = shared.intercept;
        rescaleSlope = shared.slope;
        rescaleType = shared.rescaleType;
        windowPresent = shared.windowPresent;
        windowCenter = shared.centre;
        windowWidth = shared.width;
        voiLutPresent = shared.voiLutPresent;
        voiLutDescriptor = shared.descriptor;
        voiLutData = shared.data;
    } else {
        ReadModalityLut();
        ReadRescale();
        ReadVoiLut();
        ReadWindowValues();
    }
}

void XEVVEKHelper::ReadVoiLut()
{
    voiLutPresent = ReadLutItem(&manager, dicomInfo, 0x3010, voiLutDescriptor, voiLutData) ? 1 : 0;
    if (voiLutPresent == 0) {
        voiLutDescriptor.clear();
        voiLutData.clear();
    }
}

void XEVVEKHelper::ReadWindowValues()
{
    double centre = 0, width = 0;
    if (XEVFirstWindow(dicomInfo, centre, width)) {
        windowPresent = 1;
        windowCenter = centre;
        windowWidth = width;
    }
}

void XEVVEKHelper::DefaultWindowFromBits(uint32_t bits, double& centre, double& width)
{
    centre = std::ldexp(1.0, int(bits) - 1);
    width = std::ldexp(1.0, int(bits));
}

bool XEVVEKHelper::LutUsable(const std::vector<int32_t>& descriptor, const std::vector<int32_t>& data)
{
    if (descriptor.size() != 3) {
        return false;
    }
    const uint32_t entries = descriptor[0] == 0 ? 65536u : uint32_t(descriptor[0]);
    return descriptor[2] > 0 && descriptor[2] <= 16 && data.size() >= entries;
}

VEK_Engine* XEVVEKHelper::ApplyLookupTable(const std::vector<int32_t>& descriptor, const std::vector<int32_t>& data,
                                           VEK_Engine* engine, bool& applied)
{
    applied = false;
    if (!LutUsable(descriptor, data)) {
        return engine;
    }
    const uint32_t entries = descriptor[0] == 0 ? 65536u : uint32_t(descriptor[0]);
    const int32_t first = descriptor[1];
    const int32_t d = descriptor[2];
    const VEK_Header* source = engine->header();
    const uint32_t b = source->bits();
    // The LUT engine takes 8- and 16-bit sources only.
    if (b == 0 || b > 16) {
        return engine;
    }
    const uint16_t entryBits = d <= 8 ? 8 : 16;
    const uint32_t positions = 1u << b;
    const bool isUnsigned = source->data_type() == VEK_DataType::u_integer;
    const int32_t offset = isUnsigned ? 0 : -int32_t(1u << (b - 1));
    std::vector<uint8_t> table(size_t(positions) * entryBits / 8);
    for (uint32_t i = 0; i < positions; ++i) {
        const int64_t value = int64_t(i) + offset;
        int64_t index = value - first;
        index = index < 0 ? 0 : (index >= int64_t(entries) ? int64_t(entries) - 1 : index);
        const uint32_t entry = uint32_t(data[size_t(index)]);
        if (entryBits == 8) {
            table[i] = uint8_t(entry);
        } else {
            const uint16_t word = uint16_t(entry);
            std::memcpy(&table[size_t(i) * 2], &word, 2);
        }
    }
    VEK_LutData lut(&manager);
    lut.bits(entryBits);
    lut.channels(1);
    lut.entries(positions);
    lut.data_type(VEK_DataType::u_integer);
    if (!lut.value(table.data(), uint32_t(table.size()))) {
        return engine;
    }
    VEK_Engine* result = VEK_Lut(&manager).engine(engine, &lut, nullptr);
    if (result == nullptr) {
        statusText = GetMessageString(10022);
        statusCode = -2006;
    }
    applied = result != nullptr;
    return result;
}

namespace {

// The kind of a sample of 8, 16 or 32 bits; false for other widths. 32 bits neither signed nor
// unsigned are floats.
bool RangeKind(uint32_t bits, bool isUnsigned, bool isSigned, VEK_RangeSample& kind)
{
    switch (bits) {
    case 8: kind = isUnsigned ? VEK_RangeSample::u8 : VEK_RangeSample::s8; return true;
    case 16: kind = isUnsigned ? VEK_RangeSample::u16 : VEK_RangeSample::s16; return true;
    case 32:
        kind = isUnsigned ? VEK_RangeSample::u32 : isSigned ? VEK_RangeSample::s32 : VEK_RangeSample::f32;
        return true;
    default: return false;
    }
}

}   // namespace

bool XEVVEKHelper::WindowFromValueRange(const VEK_Header& frameHeader, const uint8_t* data, double& centre,
                                        double& width)
{
    if (frameHeader.bits() == 1) {
        // The two values a one-bit sample can take, at the window's edges: 0 black, 1 white.
        centre = 0.5;
        width = 1;
        return true;
    }
    double minimum = 0;
    double maximum = 0;
    if (!FrameValueRange(frameHeader, data, minimum, maximum)) {
        return false;
    }
    width = maximum - minimum + 1;
    centre = minimum + width * 0.5;
    return true;
}

bool XEVVEKHelper::FrameValueRange(const VEK_Header& frameHeader, const uint8_t* data, double& minimum, double& maximum,
                                   VEK_RangeEnds ends)
{
    // One pass over the decoded frame, all channels together: no second run of the chain.
    const size_t n = size_t(frameHeader.width()) * frameHeader.height() * frameHeader.channels();
    const bool isUnsigned = frameHeader.data_type() == VEK_DataType::u_integer;
    const bool isSigned = frameHeader.data_type() == VEK_DataType::s_integer;
    // Starts at the lowest double, not the smallest positive one: all-negative images.
    maximum = -DBL_MAX;
    minimum = DBL_MAX;
    if (data == nullptr) {
        return false;
    }
    VEK_RangeSample kind{};
    if (!RangeKind(frameHeader.bits(), isUnsigned, isSigned, kind)) {
        return false;
    }
    vek_sample_range(kind, data, n, minimum, maximum, ends);
    // An end not looked for stays where it started.
    switch (ends) {
    case VEK_RangeEnds::lowest: return minimum < DBL_MAX;
    case VEK_RangeEnds::highest: return maximum > -DBL_MAX;
    case VEK_RangeEnds::both: break;
    }
    return minimum <= maximum;
}

void XEVVEKHelper::WindowFromLutRange(const std::vector<int32_t>& data, double& centre, double& width)
{
    if (data.empty()) {
        return;
    }
    int64_t lo = data[0], hi = data[0];
    for (int32_t v : data) {
        lo = std::min<int64_t>(lo, v);
        hi = std::max<int64_t>(hi, v);
    }
    const int64_t difference = hi - lo;
    // A constant table still needs a width the display can use.
    width = double(std::max<int64_t>(difference, 1));
    centre = double(lo + (difference % 2 == 0 ? difference / 2 : (difference + 1) / 2));
}

void XEVVEKHelper::SetPixelValueSource(FrameLoad& load, const VEK_Header& frameHeader)
{
    // The frame's own annotation manager reads it.
    FrameImageInfo* frame = load.record.get();
    XEVPixelProbe& source = frame->probe;
    const VEK_ColorType* colour = frameHeader.color_type();
    if (VEK_ColorType::is_gray(colour) || VEK_ColorType::is_gray_reverse(colour)) {
        source.colorCode = 0;
    } else if (VEK_ColorType::is_rgb(colour)) {
        source.colorCode = XEVPixelProbe::kRgb;
    } else if (VEK_ColorType::is_cmyk(colour)) {
        source.colorCode = XEVPixelProbe::kCmyk;
    } else if (VEK_ColorType::is_ycbcr(colour)) {
        source.colorCode = XEVPixelProbe::kYbr;
    } else {
        source.colorCode = -1;
    }
    source.channels = frameHeader.channels();
    source.width = int32_t(frameHeader.width());
    source.height = int32_t(frameHeader.height());
    // The probe buffer is read with its own bits and sign, not those of memory.
    const bool kept = load.probeBits != 0 && frame->probeBuffer.Data() != nullptr;
    source.bits = kept ? load.probeBits : frameHeader.bits();
    source.isSigned = kept ? load.probeSigned : frameHeader.data_type() == VEK_DataType::s_integer ? 1 : 0;
    source.data = kept ? frame->probeBuffer.Data() : frame->Data();
    source.size = kept ? frame->probeBuffer.Size() : frame->Size();
    source.factor = kept ? load.probeFactor : 1.0;
    source.offset = kept ? load.probeOffset : 0.0;
}

void XEVVEKHelper::FailFrame(uint32_t messageId, int32_t code, const QString& path, int32_t frame)
{
    statusText = QString::asprintf("%s\n      [%s]\n      [frame:%d]", GetMessageString(messageId).toUtf8().constData(),
                                   path.toUtf8().constData(), frame + 1);
    statusCode = code;
}

bool XEVVEKHelper::LendHeader(XEVAheadValues& ahead)
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    // Only a header parsed through a manager of its own can leave with the load.
    if (parsedHeader == nullptr || !dicomInfo.loaded()) {
        return false;
    }
    auto lent = std::make_unique<XEVParsedHeader>();
    lent->info = std::make_unique<VEK_DICOMInfo>(parsedHeader->manager.get());
    if (!lent->info->take(dicomInfo)) {
        return false;
    }
    lent->manager = std::move(parsedHeader->manager);
    parsedHeader.reset();
    dicomInfo.unload();
    // The load keeps it or lets it go, and charges the account again.
    if (chargedAccount_ != nullptr) {
        chargedAccount_->Discharge(accountCharge_);
    }
    chargedAccount_.reset();
    accountCharge_ = 0;
    ahead.reader.FileValues() = FileValues();
    ahead.lent = std::move(lent);
    ahead.firstOfFile = false;
    headerLent_ = true;
    return true;
}

bool XEVVEKHelper::TakeBackHeader(XEVAheadValues& ahead)
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    const bool lent = headerLent_;
    headerLent_ = false;
    // A helper made since the lend has its own header, or none to look for.
    if (!lent || ahead.lent == nullptr || ahead.lent->info == nullptr || dicomInfo.loaded() ||
        parsedHeader != nullptr || !dicomInfo.take(*ahead.lent->info)) {
        return false;
    }
    ahead.lent->info.reset();
    parsedHeader = std::move(ahead.lent);
    KeepOrReleaseHeader();
    return true;
}

void XEVVEKHelper::ReadAhead(XEVAheadValues& ahead, const VEK_DICOMInfo& header, const QString& path, int32_t frame,
                             uint64_t fileSize)
{
    XEVVEKHelper& reader = ahead.reader;
    if (!reader.dicomInfo.take(header)) {
        return;
    }
    if (ahead.firstOfFile) {
        reader.ResetFileValues();
        reader.ReadFileValues(fileSize);
    }
    FrameLoad& values = ahead.values;
    values.path = path;
    values.frame = frame;
    ahead.result = reader.ReadFrameValues(values);
    if (ahead.firstOfFile) {
        // The image keeps its dataset for the frames and texts still to come; none of them
        // reads a value this long (a lookup table holds at most 128 KiB), so those bytes go.
        reader.dicomInfo.release_values_longer_than(kKeptValueLength);
    }
    // The dataset goes to the image's helper with the header: no share of it stays here.
    reader.dicomInfo.unload();
    ahead.read = true;
}

int32_t XEVVEKHelper::LoadImage(const QString& path, int32_t& frame, XEVStagedFile* staged, XEVAheadValues* ahead)
{
    XEVLoadState& state = GetLoadState();
    if (state.IsPreloadRunning() != 0) {
        state.PausePreload();
    }
    ClearStatus();
    std::lock_guard<PlatRecursiveLock> guard(lock);
    if (path == filePath && frame >= 0 && IsFrameLoaded(frame)) {
        frame = frame + 1 < frameCount ? frame + 1 : -1;
        if (frame == -1) {
            allFramesLoaded = 1;
        }
        return 1;
    }
    int32_t result = 0;
    try {
        result = LoadFrame(path, frame, staged, ahead);
    } catch (...) {
        result = 0;
    }
    // What is left of the staged bytes goes with the caller, counted nowhere here.
    if (staged != nullptr) {
        staged->ChargeTo(nullptr);
    }
    manager.discharge(headerCharge_);
    headerCharge_ = 0;
    manager.clear();
    if (result == 0) {
        frame = -1;
    }
    KeepOrReleaseHeader();
    return result;
}

uint64_t XEVVEKHelper::KeptHeaderBytes() const
{
    if (parsedHeader != nullptr) {
        return parsedHeader->Bytes();
    }
    // Parsed under the lock: the dataset is what this manager holds between loads.
    return dicomInfo.loaded() ? manager.in_use() : 0;
}

void XEVVEKHelper::TakeLetGoHeader(XEVLetGoHeader& out)
{
    // A share before the parse it shares.
    out.share = std::move(letGo_.share);
    out.parsed = std::move(letGo_.parsed);
}

void XEVVEKHelper::ReleaseHeader()
{
    // A header parsed through a manager of its own can be freed by whoever takes it, once
    // the lock is released; one parsed through this helper's manager is freed here.
    if (parsedHeader != nullptr && dicomInfo.loaded()) {
        letGo_.share = std::make_unique<VEK_DICOMTagObj>(dicomInfo);
    }
    dicomInfo.unload();
    if (parsedHeader != nullptr) {
        letGo_.parsed = std::move(parsedHeader);
    }
    parsedHeader.reset();
    if (chargedAccount_ != nullptr) {
        chargedAccount_->Discharge(accountCharge_);
    }
    chargedAccount_.reset();
    accountCharge_ = 0;
}

void XEVVEKHelper::KeepOrReleaseHeader()
{
    // Only a later frame of this file reads the header again from here (a first frame's load
    // parses it anew), and only while the disc is shown; a frame that failed leaves the header
    // to the others, a shortage of the system's memory lets it go.
    const bool later =
        frameCount > 1 && allFramesLoaded == 0 && statusCode != kStatusOutOfMemory && dicomInfo.is_valid();
    const uint64_t bytes = later && account != nullptr ? KeptHeaderBytes() : 0;
    if (chargedAccount_ != nullptr) {
        chargedAccount_->Discharge(accountCharge_);
    }
    chargedAccount_.reset();
    accountCharge_ = 0;
    if (bytes == 0 || !account->Charge(bytes)) {
        ReleaseHeader();
        return;
    }
    chargedAccount_ = account;
    accountCharge_ = bytes;
}

int32_t XEVVEKHelper::OpenFrameFile(FrameLoad& load)
{
    load.holder.storage = load.staged != nullptr ? load.staged->CreateStorage(&manager)
                                                 : VEK_FileInputStorage::create(&manager, load.narrowPath.c_str());
    XEVLoadState& state = GetLoadState();
    const auto fileFail = [&](uint32_t id, int32_t code) {
        statusText = GetMessageString(id) + QStringLiteral("\n      [") + load.path + QStringLiteral("]\n");
        statusCode = code;
        return 0;
    };
    // Under the state's lock: a File Open may set another archive while a reader let go ends.
    if (load.holder.storage == nullptr && !state.GetExtractFolder().empty()) {
        // The member is named as the archive holds it, after the archive's own path: the
        // extraction folder's path names nothing the user knows.
        QString shown;
        const int32_t extracted = state.ExtractZipMember(load.narrowPath, load.narrowPath, nullptr, &shown);
        // A member too large to read, or past the archive's extraction budget, is there, just
        // not readable: not a missing file.
        if (IsZipMemberRefused(extracted)) {
            return fileFail(10008, -2003);
        }
        if (IsZipMemberBroken(extracted) || IsZipMemberLink(extracted)) {
            statusText = GetMessageString(IsZipMemberLink(extracted) ? kXEVLinkMemberMessage : 10008) +
                         QStringLiteral("\n      [") + (shown.isEmpty() ? load.path : shown) + QStringLiteral("]\n");
            statusCode = -2003;
            return 0;
        }
        if (extracted == 0) {
            manager.clear();
            load.holder.storage = VEK_FileInputStorage::create(&manager, load.narrowPath.c_str());
        }
    }
    if (load.holder.storage == nullptr) {
        const HeaderFailure failure = OpenFailure(load.path);
        return fileFail(failure.messageId, failure.statusCode);
    }
    // A fresh helper asked for a later frame reads the header first and keeps that frame: an
    // entry of one frame of a multi-frame file starts there. A header lent to this load comes
    // back with it.
    load.firstOfFile = load.frame == 0 || !(dicomInfo.is_valid() || headerLent_);
    headerLent_ = false;
    if (!load.firstOfFile && dicomInfo.is_valid()) {
        return 1;
    }
    if (load.staged == nullptr) {
        ReadWholeFile(&manager, load.holder);
    }
    if (load.firstOfFile) {
        ResetFileValues();
    }
    // A header parsed with no lock held is taken as it is; its manager stays while its
    // dataset is shared.
    std::unique_ptr<XEVParsedHeader> parsed = load.ahead != nullptr && load.ahead->lent != nullptr
                                                  ? std::move(load.ahead->lent)
                                              : load.staged != nullptr ? load.staged->TakeHeader()
                                                                       : nullptr;
    if (parsed != nullptr && dicomInfo.take(*parsed->info)) {
        parsed->info.reset();
        parsedHeader = std::move(parsed);
    } else if (parsed == nullptr && load.staged != nullptr && load.staged->HeaderFailed()) {
        // Parsed before the lock and failed: said as that parse ended, not parsed again here.
        const HeaderFailure failure = HeaderParseFailure(load.staged->HeaderRefused(), load.staged->HeaderFailureCode(),
                                                         load.staged->HeaderFailedWithPixels());
        return fileFail(failure.messageId, failure.statusCode);
    } else if (!dicomInfo.load(load.holder.storage)) {
        // The message says the tags are unreadable, not that the system's memory ran out.
        const HeaderFailure failure = HeaderLoadFailure(manager, load.budgetRefusals, dicomInfo);
        return fileFail(failure.messageId, failure.statusCode);
    }
    if (load.ahead != nullptr && load.ahead->read) {
        // The reader started from this helper's values with a later frame: whole, either way.
        FileValues() = std::move(load.ahead->reader.FileValues());
        return 1;
    }
    if (!load.firstOfFile) {
        return 1;
    }
    ReadFileValues(uint64_t(std::max(load.holder.storage->size(), 0)));
    // The image keeps its dataset for the frames and texts still to come; none of them reads
    // a value this long (a lookup table holds at most 128 KiB), so those bytes are let go.
    dicomInfo.release_values_longer_than(kKeptValueLength);
    return 1;
}

int32_t XEVVEKHelper::ReadFrameValues(FrameLoad& load)
{
    if (load.ahead != nullptr && load.ahead->read) {
        XEVAheadValues& ahead = *load.ahead;
        if (ahead.result == 0) {
            statusText = ahead.reader.statusText;
            statusCode = ahead.reader.statusCode;
            return 0;
        }
        static_cast<FrameValues&>(load) = std::move(static_cast<FrameValues&>(ahead.values));
        return 1;
    }
    XEVNoteValueParse();
    load.paletteColour = DicomTextValue(dicomInfo, 0x0028, 0x0004).trimmed() == QStringLiteral("PALETTE COLOR");
    if (!dicomInfo.get_ulong(0x0028, 0x0101, load.bitsStored)) {
        load.bitsStored = 0;
    }
    if (frameCount == 1) {
        load.frame = 0;
    } else if (load.frame < 0 || load.frame >= frameCount) {
        // No such frame in the file: another frame in its place would show the wrong image.
        FailFrame(10008, -2003, load.path, load.frame);
        return 0;
    }
    load.record.reset(new (std::nothrow) FrameImageInfo);
    if (!load.record) {
        FailFrame(10006, -2, load.path, load.frame);
        return 0;
    }
    load.centre = windowCenter;
    load.width = windowWidth;
    load.windowPresent = windowPresent;
    load.voiPresent = voiLutPresent;
    GroupValues perFrame;
    perFrame.intercept = rescaleIntercept;
    perFrame.slope = rescaleSlope;
    perFrame.rescaleType = rescaleType;
    perFrame.centre = windowCenter;
    perFrame.width = windowWidth;
    if (ReadFunctionalGroups(sopClassUid, dicomInfo, load.frame, perFrame) != 0 &&
        (perFrame.windowPresent != 0 || perFrame.voiLutPresent != 0)) {
        load.windowPresent = perFrame.windowPresent;
        load.voiPresent = perFrame.voiLutPresent;
    }
    // A frame without its own window keeps the shared one.
    load.intercept = perFrame.intercept;
    load.slope = perFrame.slope;
    load.rescaleType = perFrame.rescaleType;
    if (perFrame.windowPresent != 0) {
        load.centre = perFrame.centre;
        load.width = perFrame.width;
    }
    ReadCalibration(dicomInfo, load.record.get());
    ReadFramePosition(load.frame, load.record.get());
    BuildCornerValues(dicomInfo, load.record.get());
    return 1;
}

VEK_Engine* XEVVEKHelper::ReadStoredValues(FrameLoad& load)
{
    VEK_Engine* engine = VEK_ReadDICOM(&manager).engine(load.holder.storage, dicomInfo, uint32_t(load.frame));
    if (engine == nullptr) {
        if (!OverBudget(load)) {
            FailFrame(10008, -2003, load.path, load.frame);
        }
        return nullptr;
    }
    if (load.paletteColour && engine->header()->bits() == 16) {
        engine = VEK_ConvertDataType(&manager).engine(engine, VEK_DataType::u_integer, 8, 255.0 / 65535.0, 0);
        if (engine == nullptr) {
            FailFrame(10011, -2004, load.path, load.frame);
            return nullptr;
        }
    }
    engine = VEK_ApplyPalette(&manager).engine(engine);
    if (engine == nullptr) {
        FailFrame(10011, -2004, load.path, load.frame);
        return nullptr;
    }
    // A mask of 0 would blank the image; 32 and more bits need none.
    const uint32_t bitsStored = load.bitsStored;
    if (bitsStored > 0 && bitsStored < 32 && engine->header()->bits() >= bitsStored) {
        if (engine->header()->data_type() == VEK_DataType::s_integer) {
            engine = VEK_SignedExtension(&manager).engine(engine, uint8_t(bitsStored - 1));
        } else if (engine->header()->data_type() == VEK_DataType::u_integer && engine->header()->bits() > bitsStored) {
            engine = VEK_And(&manager).engine(engine, uint32_t((uint64_t{1} << bitsStored) - 1));
        }
    }
    return engine;
}

int32_t XEVVEKHelper::WriteProbeValues(VEK_Engine* engine, FrameLoad& load, double factor, double offset)
{
    const VEK_Header& kept = *engine->header();
    const uint64_t bytes = PlatDecodedFrameBytes(kept.width(), kept.height(), kept.channels(), kept.bits());
    XEVImageMemory& buffer = load.record->probeBuffer;
    if (bytes > kPlatFrameDecodeBudget) {
        FailFrame(10008, -2003, load.path, load.frame);
        return 0;
    }
    buffer.Allocate(uint32_t(bytes));
    if (bytes != 0 && buffer.Data() == nullptr) {
        FailFrame(10015, -2, load.path, load.frame);
        return 0;
    }
    load.probeBits = kept.bits();
    load.probeSigned = kept.data_type() == VEK_DataType::s_integer ? 1 : 0;
    load.probeFactor = factor;
    load.probeOffset = offset;
    VEK_Engine* writer = VEK_WriteMemory(&manager).engine(engine, buffer.Data(), uint32_t(bytes));
    if (writer == nullptr) {
        FailFrame(10014, -2010, load.path, load.frame);
        return 0;
    }
    while (writer->execute()) {
    }
    return RunFailed(load) ? 0 : 1;
}

VEK_Engine* XEVVEKHelper::KeepProbeValues(VEK_Engine* engine, FrameLoad& load, double factor, double offset)
{
    // The chain runs once into the probe buffer and goes on from there, so no copy of the
    // frame is held for a second reader.
    VEK_Header kept(&manager);
    if (!(kept = *engine->header())) {
        FailFrame(10015, -2, load.path, load.frame);
        return nullptr;
    }
    if (WriteProbeValues(engine, load, factor, offset) == 0) {
        return nullptr;
    }
    XEVImageMemory& buffer = load.record->probeBuffer;
    VEK_Engine* next = VEK_ReadMemory(&manager).engine(kept, buffer.Data(), buffer.Size());
    if (next == nullptr) {
        FailFrame(10014, -2010, load.path, load.frame);
    }
    return next;
}

namespace {

bool IsWhole(double value)
{
    return std::isfinite(value) && std::trunc(value) == value;
}

// The lowest and highest value of an integer sample of that type and width.
void TypeRange(const VEK_DataType* type, uint32_t bits, double& least, double& most)
{
    const bool isSigned = type == VEK_DataType::s_integer;
    least = isSigned ? -std::ldexp(1.0, int(bits) - 1) : 0.0;
    most = isSigned ? std::ldexp(1.0, int(bits) - 1) - 1 : std::ldexp(1.0, int(bits)) - 1;
}

// The ends of memory's type that a rescale of the values in [lo, hi] passes.
void ClampEnds(double slope, double intercept, double lo, double hi, const VEK_DataType* type, uint32_t bits, bool& low,
               bool& high)
{
    const double a = lo * slope + intercept;
    const double b = hi * slope + intercept;
    double least = 0;
    double most = 0;
    TypeRange(type, bits, least, most);
    low = std::min(a, b) < least;
    high = std::max(a, b) > most;
}

// Whether a rescale into memory of type `type` and `bits` gives stored x slope + intercept
// exactly for every value in [lo, hi]: whole numbers, none of them clamped.
bool RescaleIsExact(double slope, double intercept, double lo, double hi, const VEK_DataType* type, uint32_t bits)
{
    if (!IsWhole(slope) || !IsWhole(intercept)) {
        return false;
    }
    bool low = false;
    bool high = false;
    ClampEnds(slope, intercept, lo, hi, type, bits, low, high);
    return !low && !high;
}

// Lowest and highest of n integer samples of 8, 16 or 32 bits; false for other widths.
bool IntegerRange(const uint8_t* data, size_t n, uint32_t bits, bool isSigned, double& lo, double& hi)
{
    lo = DBL_MAX;
    hi = -DBL_MAX;
    VEK_RangeSample kind{};
    if (!RangeKind(bits, !isSigned, isSigned, kind)) {
        return false;
    }
    vek_sample_range(kind, data, n, lo, hi);
    return data != nullptr && lo <= hi;
}

}   // namespace

VEK_Engine* XEVVEKHelper::Rescale(VEK_Engine* engine, FrameLoad& load)
{
    const VEK_Header* h = engine->header();
    const uint32_t b = h->bits();
    const bool fromSigned = h->data_type() == VEK_DataType::s_integer;
    double lo = 0, hi = 0;
    if (fromSigned) {
        const uint32_t s = load.bitsStored > 0 ? load.bitsStored : b;
        lo = -std::ldexp(1.0, int(s) - 1);
        hi = std::ldexp(1.0, int(s) - 1) - 1;
    } else {
        hi = std::ldexp(1.0, int(b)) - 1;
    }
    double useSlope = load.slope;
    // Small positive slopes keep two decimals of the real value: memory holds 100 x value.
    if (load.slope > 0 && load.slope < 0.01) {
        smallSlope = 1;
        smallSlopeIntercept = load.intercept * 0.99;
        useSlope = load.slope * 100;
    }
    const double top = hi * useSlope + load.intercept;
    const double bottom = lo * useSlope + load.intercept;
    const bool toSigned = top < 0 || bottom < 0;
    const VEK_DataType* type = toSigned ? VEK_DataType::s_integer : h->data_type();
    // What the stored bits can hold after the mask or the sign extension.
    const uint32_t s = load.bitsStored > 0 && load.bitsStored < b ? load.bitsStored : b;
    const double storedLo = fromSigned ? -std::ldexp(1.0, int(s) - 1) : 0.0;
    const double storedHi = fromSigned ? std::ldexp(1.0, int(s) - 1) - 1 : std::ldexp(1.0, int(s)) - 1;
    // Memory rounds a fractional result and clamps one out of its range; after a VOI LUT it
    // holds no value at all. The readout then reads the stored values.
    const bool whole = smallSlope == 0 && IsWhole(load.slope) && IsWhole(load.intercept);
    if (whole && load.voiPresent == 0) {
        ClampEnds(load.slope, load.intercept, storedLo, storedHi, type, b, load.clampLow, load.clampHigh);
    }
    // Memory on a bound has the frame decoded again for its stored values: its bytes stay.
    if ((load.clampLow || load.clampHigh) && load.staged != nullptr) {
        load.staged->LetGoAsRead(false);
    }
    if (!whole || load.voiPresent != 0) {
        engine = KeepProbeValues(engine, load, load.slope, load.intercept);
        if (engine == nullptr) {
            return nullptr;
        }
    }
    engine = VEK_ConvertDataType(&manager).engine(engine, type, uint16_t(b), useSlope, load.intercept);
    if (engine == nullptr) {
        if (toSigned) {
            FailFrame(10012, -2008, load.path, load.frame);
        } else {
            FailFrame(10013, -2009, load.path, load.frame);
        }
    }
    return engine;
}

VEK_Engine* XEVVEKHelper::ApplyGrayValues(VEK_Engine* engine, FrameLoad& load)
{
    colorFlag = 0;
    // A table that cannot be applied (fewer values than its descriptor claims, entries wider
    // than 16 bits) is as if the file had none: the rescale applies, and the window is the
    // file's own or the image's range, not one made from the table's values.
    if (load.voiPresent != 0 && !LutUsable(voiLutDescriptor, voiLutData)) {
        load.voiPresent = 0;
    }
    bool modalityApplied = false;
    if (modalityLutPresent != 0) {
        engine = ApplyLookupTable(modalityLutDescriptor, modalityLutData, engine, modalityApplied);
        // The table's output is the value; after a VOI LUT memory no longer holds it.
        if (engine != nullptr && modalityApplied && load.voiPresent != 0) {
            engine = KeepProbeValues(engine, load, 1.0, 0.0);
        }
    }
    if (engine != nullptr && !modalityApplied) {
        engine = Rescale(engine, load);
    }
    if (engine == nullptr) {
        return nullptr;
    }
    bool voiApplied = false;
    if (load.voiPresent != 0) {
        engine = ApplyLookupTable(voiLutDescriptor, voiLutData, engine, voiApplied);
        if (engine == nullptr) {
            return nullptr;
        }
    }
    if (voiApplied) {
        WindowFromLutRange(voiLutData, load.centre, load.width);
    } else if (load.windowPresent == 0) {
        if (load.bitsStored == 0) {
            load.bitsStored = engine->header()->bits();
        }
        if (sopClassUid == QString::fromUtf16(kCRClass)) {
            DefaultWindowFromBits(load.bitsStored, load.centre, load.width);
        } else {
            load.rangeWindow = true;
        }
    }
    return engine;
}

void XEVVEKHelper::ColourWindow(const VEK_Header& delivered, FrameLoad& load)
{
    colorFlag = 1;
    if (load.windowPresent != 0) {
        return;
    }
    if (load.bitsStored == 0) {
        load.bitsStored = delivered.bits();
    }
    if (delivered.data_type() == VEK_DataType::u_integer) {
        DefaultWindowFromBits(load.bitsStored, load.centre, load.width);
    } else {
        load.centre = 0;
        load.width = std::ldexp(1.0, int(load.bitsStored));
    }
}

int32_t XEVVEKHelper::WriteFrameMemory(VEK_Engine* engine, FrameLoad& load)
{
    FrameImageInfo* record = load.record.get();
    header = *engine->header();
    if (load.firstOfFile) {
        cropX = cropY = 0;
        cropWidth = viewWidth = int32_t(header.width());
        cropHeight = viewHeight = int32_t(header.height());
    }
    // The frame as delivered, past the conversions: wider samples than the file's cost more.
    const uint64_t bytes = PlatDecodedFrameBytes(header.width(), header.height(), header.channels(), header.bits());
    if (bytes > kPlatFrameDecodeBudget) {
        FailFrame(10008, -2003, load.path, load.frame);
        return 0;
    }
    record->Allocate(uint32_t(bytes));
    if (bytes != 0 && record->Data() == nullptr) {
        FailFrame(10015, -2, load.path, load.frame);
        return 0;
    }
    VEK_Engine* writer = VEK_WriteMemory(&manager).engine(engine, record->Data(), uint32_t(bytes));
    if (writer == nullptr) {
        FailFrame(10016, -2010, load.path, load.frame);
        return 0;
    }
    SetPixelValueSource(load, header);
    while (writer->execute()) {
    }
    if (RunFailed(load)) {
        return 0;
    }
    return load.clampLow || load.clampHigh ? KeepClampedValues(load) : 1;
}

bool XEVVEKHelper::OverBudget(FrameLoad& load)
{
    if (manager.budget_refusals() == load.budgetRefusals) {
        return false;
    }
    FailFrame(10017, kStatusLoadBudget, load.path, load.frame);
    return true;
}

bool XEVVEKHelper::RunFailed(FrameLoad& load)
{
    const uint32_t code = manager.status().full_code();
    if ((code & 0x80000000u) == 0) {
        return false;
    }
    if (OverBudget(load)) {
        return true;
    }
    if ((code & 0xFFFF0000u) == 0x80010000u) {
        FailFrame(10017, kStatusOutOfMemory, load.path, load.frame);
    } else {
        FailFrame(10018, -2011, load.path, load.frame);
    }
    return true;
}

int32_t XEVVEKHelper::KeepClampedValues(FrameLoad& load)
{
    // Memory inside its type's bounds clamped nothing. A value on a bound may have been
    // clamped: the frame is decoded once more for its stored values, kept where some of them
    // did not fit.
    FrameImageInfo* record = load.record.get();
    const size_t n = size_t(header.width()) * header.height() * header.channels();
    double lo = 0;
    double hi = 0;
    double least = 0;
    double most = 0;
    TypeRange(header.data_type(), header.bits(), least, most);
    if (!ClampRange(load, lo, hi) || (lo > least && hi < most)) {
        return 1;
    }
    VEK_Engine* stored = ReadStoredValues(load);
    if (stored == nullptr || WriteProbeValues(stored, load, load.slope, load.intercept) == 0) {
        return 0;
    }
    if (IntegerRange(record->probeBuffer.Data(), n, uint32_t(load.probeBits), load.probeSigned != 0, lo, hi) &&
        RescaleIsExact(load.slope, load.intercept, lo, hi, header.data_type(), header.bits())) {
        record->probeBuffer.Free();
        load.probeBits = 0;
    }
    SetPixelValueSource(load, header);
    return 1;
}

bool XEVVEKHelper::ClampRange(FrameLoad& load, double& lo, double& hi)
{
    // The window takes the whole range from the same pass; alone, the check looks only at the
    // ends a clamp can reach, a usual CT's lowest.
    if (load.rangeWindow || (load.clampLow && load.clampHigh)) {
        return MemoryRange(load, lo, hi);
    }
    return FrameValueRange(header, load.record->Data(), lo, hi,
                           load.clampLow ? VEK_RangeEnds::lowest : VEK_RangeEnds::highest);
}

bool XEVVEKHelper::MemoryRange(FrameLoad& load, double& lo, double& hi)
{
    if (!load.rangeTaken) {
        load.rangeTaken = true;
        load.ranged = FrameValueRange(header, load.record->Data(), load.lowest, load.highest);
    }
    lo = load.lowest;
    hi = load.highest;
    return load.ranged;
}

int32_t XEVVEKHelper::LoadFrame(const QString& path, int32_t& frame, XEVStagedFile* staged, XEVAheadValues* ahead)
{
    filePath = path;
    allFramesLoaded = 0;
    cancelFlag = 0;
    manager.clear();
    // An image's memory through its manager, the dataset it keeps included, is bounded whatever
    // the file's shape.
    manager.set_budget(loadMemoryBudget.load());
    FrameLoad load;
    load.budgetRefusals = manager.budget_refusals();
    load.path = path;
    load.narrowPath = XEVNativePath(path);
    load.frame = frame;
    load.staged = staged;
    load.ahead = ahead;
    // The bytes staged for the decode are its memory too: with its manager's blocks, one budget.
    if (staged != nullptr && !staged->ChargeTo(&manager)) {
        FailFrame(10017, kStatusLoadBudget, path, std::max(frame, 0));
        return 0;
    }
    // So is the header it decodes by, parsed through a manager of its own: kept from an earlier
    // frame, or taken from the staged parse.
    const uint64_t headerBytes = (parsedHeader != nullptr ? parsedHeader->Bytes() : 0) +
                                 (ahead != nullptr && ahead->lent != nullptr ? ahead->lent->Bytes() : 0) +
                                 (staged != nullptr ? staged->HeaderBytes() : 0);
    if (!manager.charge(headerBytes)) {
        FailFrame(10017, kStatusLoadBudget, path, std::max(frame, 0));
        return 0;
    }
    headerCharge_ = headerBytes;
    if (OpenFrameFile(load) == 0 || ReadFrameValues(load) == 0) {
        return 0;
    }
    frame = load.frame;
    VEK_Engine* engine = ReadStoredValues(load);
    if (engine == nullptr) {
        return 0;
    }
    // The chain is built: from here its reads take each staged byte once, and what they took
    // goes as the frame's memory fills. A rescale that may clamp turns this off again.
    if (load.staged != nullptr) {
        load.staged->LetGoAsRead(true);
    }
    const VEK_ColorType* colour = engine->header()->color_type();
    if (VEK_ColorType::is_gray(colour) || VEK_ColorType::is_gray_reverse(colour)) {
        engine = ApplyGrayValues(engine, load);
    } else {
        ColourWindow(*engine->header(), load);
    }
    if (engine == nullptr || WriteFrameMemory(engine, load) == 0) {
        return 0;
    }
    FrameImageInfo* record = load.record.get();
    if (load.rangeWindow) {
        double lo = 0;
        double hi = 0;
        if (header.bits() == 1 || !MemoryRange(load, lo, hi)) {
            // One-bit samples take their fixed window without a pass.
            if (!WindowFromValueRange(header, record->Data(), load.centre, load.width)) {
                return 0;
            }
        } else {
            load.width = hi - lo + 1;
            load.centre = lo + load.width * 0.5;
        }
        if (smallSlope != 0) {
            // The window is kept in real values; memory holds 100 x value - 99 x intercept.
            load.centre = load.centre * 0.01 + smallSlopeIntercept;
            load.width *= 0.01;
        }
    }
    if (load.bitsStored == 0) {
        load.bitsStored = header.bits();
    }
    record->SetWindow(load.centre, load.width, 1);
    record->rescaleSlope = load.slope;
    record->rescaleIntercept = load.intercept;
    record->rescaleType = load.rescaleType;
    const bool isUnsigned =
        sopClassUid == QString::fromUtf16(kCRClass) || header.data_type() == VEK_DataType::u_integer;
    record->SetWindowRange(int32_t(load.bitsStored), isUnsigned ? 1 : 0);
    record->UpdateWindowStep();
    AddFrame(frame, load.record.release());
    SetCurrentFrame(frame);
    if (frame + 1 < frameCount) {
        frame = frame + 1;
    } else {
        frame = -1;
        allFramesLoaded = 1;
    }
    return 1;
}

int32_t XEVVEKHelper::CheckFrameCount(const QString& path, int32_t& count)
{
    ClearStatus();
    std::lock_guard<PlatRecursiveLock> guard(lock);
    manager.set_budget(loadMemoryBudget.load());
    const uint64_t refusalsBefore = manager.budget_refusals();
    VEK_DICOMInfo info(&manager);
    StorageHolder holder;
    // The scan reads every file of an archive: each member's header is read through the
    // archive, so that the folder holds only what was shown.
    holder.storage = XEVOpenSourceHeader(&manager, path);
    const auto releaseStorage = [&] {
        vek_destroy(holder.storage);
        holder.storage = nullptr;
    };
    const auto fail = [&](uint32_t id, int32_t code) {
        releaseStorage();
        statusText = GetMessageString(id) + QStringLiteral("\n      [") + path + QStringLiteral("]\n");
        statusCode = code;
        manager.clear();
        return 0;
    };
    if (holder.storage == nullptr) {
        const HeaderFailure failure = OpenFailure(path);
        return fail(failure.messageId, failure.statusCode);
    }
    if (!info.load(holder.storage)) {
        const HeaderFailure failure = HeaderLoadFailure(manager, refusalsBefore, info);
        return fail(failure.messageId, failure.statusCode);
    }
    uint64_t size = 0;
    count = XEVFileFrameCount(info, XEVSourceSize(path, size) ? size : UINT64_MAX);
    releaseStorage();
    manager.clear();
    return 1;
}

bool XEVVEKHelper::PlanFrame(const QString& path, int32_t frame, XEVFrameSpan& span, bool& loaded) const
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    loaded = path == filePath && frame >= 0 && IsFrameLoaded(frame);
    if (loaded || path != filePath || frame == 0 || !dicomInfo.is_valid()) {
        return false;
    }
    span = XEVFrameSpanOf(dicomInfo, frameCount == 1 ? 0 : frame, INT32_MAX);
    return true;
}

void XEVVEKHelper::FailUnread(uint32_t messageId, int32_t code, const QString& path, int32_t frame,
                              const QString& shown)
{
    std::lock_guard<PlatRecursiveLock> guard(lock);
    filePath = path;
    if (frame < 0) {
        statusText = GetMessageString(messageId) + QStringLiteral("\n      [") + (shown.isEmpty() ? path : shown) +
                     QStringLiteral("]\n");
        statusCode = code;
        return;
    }
    FailFrame(messageId, code, path, frame);
}

namespace {

// How the reading of a frame's bytes ended.
enum class StageEnd {
    Staged,
    Stopped,
    NotOpened,
    TooLarge,
    MemberBroken,
    MemberLink,
    ReadFailed,
    OverBudget,
    HeaderOverBudget
};

struct Staging {
    StageEnd end = StageEnd::Staged;
    // An archive's member as the user knows it, when one was found: what a failure names, so
    // that nothing is read for it under the image's lock.
    QString member;
    // The load's budget, which the staged bytes count against until the decode's manager
    // takes them over; it outlives the file.
    std::unique_ptr<XEVReadManager> meter;
    std::unique_ptr<XEVStagedFile> file;
};

// The image's lock, with the medium's probe told while it is held.
class ImageLockHold {
public:
    explicit ImageLockHold(PlatRecursiveLock& lock) : lock_(lock)
    {
        // A decode under it may wait for the medium.
        XEVLockOutsideClaim(lock_);
        XEVProbeImageLock(1);
    }
    ~ImageLockHold()
    {
        XEVProbeImageLock(-1);
        lock_.Unlock();
    }
    ImageLockHold(const ImageLockHold&) = delete;
    ImageLockHold& operator=(const ImageLockHold&) = delete;

private:
    PlatRecursiveLock& lock_;
};

// A member of an imported archive is extracted in blocks under the turn, which it shares
// between them with the reads for the screen, and ends at the next block once the load is
// stopped.
int32_t ExtractInTurn(const std::string& narrowPath, XEVMediumTurn& turn, const std::atomic<int32_t>* stop,
                      QString* shown = nullptr)
{
    const XEVLoadState& state = GetLoadState();
    if (state.GetExtractFolder().empty()) {
        return -1;
    }
    XEVZipCopyControl control;
    control.stop = stop;
    control.between = [&turn] { turn.Share(); };
    // Another loader writing the same member needs the medium to end.
    control.waiting = [&turn](bool waiting) { waiting ? turn.Pause() : turn.Resume(); };
    return state.ExtractZipMember(narrowPath, narrowPath, &control, shown);
}

}   // namespace

int32_t XEVExtractInTurn(const std::string& narrowPath, XEVReadPriority priority, const std::atomic<int32_t>* stop)
{
    XEVMediumTurn turn(priority, stop);
    if (!turn.Held()) {
        return kZipStopped;
    }
    return ExtractInTurn(narrowPath, turn, stop);
}

namespace {

// The bytes a frame's decode reads: every one of them, from the medium, in blocks, with no
// lock held. The file comes back sealed, so the decode reads the medium only past a compressed
// frame's staged span, where nothing but padding lies.
Staging StageFrame(const QString& path, int32_t frame, bool headerKnown, XEVFrameSpan span,
                   const std::atomic<int32_t>* stop, XEVReadPriority priority)
{
    Staging staging;
    XEVMediumTurn turn(priority, stop);
    if (!turn.Held()) {
        staging.end = StageEnd::Stopped;
        return staging;
    }
    staging.meter = std::make_unique<XEVReadManager>(XEVLoadMemoryBudget());
    auto staged = std::make_unique<XEVStagedFile>();
    staged->ChargeTo(staging.meter.get());
    const std::string narrowPath = XEVNativePath(path);
    if (!staged->Open(narrowPath)) {
        const int32_t extracted = ExtractInTurn(narrowPath, turn, stop, &staging.member);
        if (stop != nullptr && stop->load() != 0) {
            staging.end = StageEnd::Stopped;
            return staging;
        }
        if (extracted != 0 || !staged->Open(narrowPath)) {
            staging.end = IsZipMemberRefused(extracted)  ? StageEnd::TooLarge
                          : IsZipMemberBroken(extracted) ? StageEnd::MemberBroken
                          : IsZipMemberLink(extracted)   ? StageEnd::MemberLink
                                                         : StageEnd::NotOpened;
            return staging;
        }
    }
    staged->SetStop(stop);
    staged->SetTurn(&turn);
    int32_t count = 0;
    if (!headerKnown && staged->Size() <= kXEVReadBlock) {
        // A file of one block is one request, as its header would make it anyway; the header
        // is then parsed from memory.
        staged->Fetch(0, staged->Size(), stop);
        staged->ParseFrameSpan(frame, count);
    } else if (!headerKnown) {
        span = staged->ParseFrameSpan(frame, count);
    }
    const bool fetched =
        staged->Fetch(span.elementBegin, span.elementEnd, stop) && staged->Fetch(span.begin, span.end, stop);
    staged->SetTurn(nullptr);
    staged->Seal();
    staged->ReadLateOnDemand(span.end, span.lateEnd, priority);
    if (stop != nullptr && stop->load() != 0) {
        staging.end = StageEnd::Stopped;
    } else if (staged->Refused()) {
        staging.end = StageEnd::OverBudget;
    } else if (staged->HeaderRefused()) {
        staging.end = StageEnd::HeaderOverBudget;
    } else if (!fetched || staged->Failed()) {
        staging.end = StageEnd::ReadFailed;
    }
    staging.file = std::move(staged);
    return staging;
}

}   // namespace

bool ImageInfo::FailedBefore(int32_t frame) const
{
    if (vekHelper_ == nullptr || loadedPath != filePath) {
        return false;
    }
    // A file that failed as a whole; one broken frame leaves the others to be read.
    if (vekHelper_->frameCount <= 0 && vekHelper_->statusCode != 0 &&
        vekHelper_->statusCode != XEVVEKHelper::kStatusOutOfMemory) {
        return true;
    }
    const auto failed = vekHelper_->failedFrames.find(std::max(frame, 0));
    if (frame < 0 || failed == vekHelper_->failedFrames.end()) {
        return false;
    }
    vekHelper_->statusCode = failed->second.first;
    vekHelper_->statusText = failed->second.second;
    return true;
}

bool ImageInfo::PlanLoad(int32_t& frame, int32_t forced, LoadPlan& plan, const XEVWindowHandle& notify)
{
    ImageLockHold hold(lock_);
    if (filePath.isEmpty()) {
        return false;
    }
    if (loadedPath != filePath) {
        SetHelper(nullptr);
    }
    const auto post = [&] {
        if (!notify.IsNull()) {
            XEVPostMessage(notify, WM_XEV_IMAGE_LOADED, reinterpret_cast<XEVWParam>(this), 0);
        }
    };
    // Forced or not: a second reader (the job worker after a cell's loader, cine coming round)
    // would ask the drive again and name the file again.
    if (FailedBefore(frame)) {
        frame = -1;
        post();
        return false;
    }
    if (forced == 0 && !XEVRunMemoryTest()) {
        if (!MakeHelper()) {
            return false;
        }
        XEVLoadState& state = GetLoadState();
        state.memoryShort = 1;
        state.memoryShortStudy = 1;
        vekHelper_->statusCode = XEVVEKHelper::kStatusOutOfMemory;
        post();
        return false;
    }
    plan.path = filePath;
    plan.headerKnown = false;
    plan.loaded = false;
    if (vekHelper_ != nullptr) {
        plan.headerKnown = vekHelper_->PlanFrame(plan.path, frame, plan.span, plan.loaded);
    }
    // A later frame's values are read from the kept header, lent to the load meanwhile.
    if (plan.headerKnown) {
        plan.ahead = std::make_unique<XEVAheadValues>();
        if (!vekHelper_->LendHeader(*plan.ahead)) {
            plan.ahead.reset();
        }
    }
    return true;
}

void ImageInfo::EndLend(LoadPlan& plan)
{
    const std::unique_ptr<XEVAheadValues> ahead = std::move(plan.ahead);
    XEVLetGoHeader letGo;
    // A decode that took the header back took it whole.
    if (ahead == nullptr || ahead->lent == nullptr) {
        return;
    }
    ImageLockHold hold(lock_);
    if (vekHelper_ == nullptr) {
        return;
    }
    // Run from a destructor: a refusal of memory here lets the header go with the plan.
    try {
        vekHelper_->account = GetLoadState().AccountOf(disc);
        vekHelper_->TakeBackHeader(*ahead);
    } catch (...) {
    }
    vekHelper_->TakeLetGoHeader(letGo);
}

namespace {

// The values the decode takes, read from the load's header with no lock held: the header lent
// with the plan, or the one the staged read parsed; none when the header did not parse (the
// decode then fails in its own words).
void ReadValuesAhead(std::unique_ptr<XEVAheadValues>& ahead, const QString& path, XEVStagedFile* staged, int32_t frame)
{
    const XEVParsedHeader* parsed = staged != nullptr ? staged->Header() : nullptr;
    if (ahead == nullptr && parsed != nullptr && parsed->info != nullptr) {
        ahead = std::make_unique<XEVAheadValues>();
    }
    const VEK_DICOMInfo* header = ahead == nullptr         ? nullptr
                                  : ahead->lent != nullptr ? ahead->lent->info.get()
                                  : parsed != nullptr      ? parsed->info.get()
                                                           : nullptr;
    if (header != nullptr && staged != nullptr) {
        XEVVEKHelper::ReadAhead(*ahead, *header, path, frame, uint64_t(std::max(staged->Size(), 0)));
    }
}

}   // namespace

int32_t ImageInfo::LoadImage(int32_t& frame, const XEVWindowHandle& notify, int32_t forced,
                             const std::atomic<int32_t>* stop, XEVReadPriority priority)
{
    // Another load of this image may be in its reads.
    XEVLockOutsideClaim(loadLock_);
    std::lock_guard<std::mutex> loading(loadLock_, std::adopt_lock);
    const auto post = [&] {
        if (!notify.IsNull()) {
            XEVPostMessage(notify, WM_XEV_IMAGE_LOADED, reinterpret_cast<XEVWParam>(this), 0);
        }
    };
    const auto stopped = [stop] { return stop != nullptr && stop->load() != 0; };
    // Which bytes the frame needs is settled under the lock; they are read without it, so
    // that a paint of this image never waits for the medium. The path may change or the frame
    // be let go in between: then the plan is made again.
    for (int attempt = 0; attempt < 3; ++attempt) {
        const int32_t asked = frame;
        LoadPlan plan;
        // However this attempt ends, a header lent with the plan is back with the helper after.
        struct LendEnd {
            ImageInfo& image;
            LoadPlan& plan;
            ~LendEnd() { image.EndLend(plan); }
        } lendEnd{*this, plan};
        if (!PlanLoad(frame, forced, plan, notify)) {
            return 0;
        }
        Staging staging;
        if (!plan.loaded) {
            staging = StageFrame(plan.path, frame, plan.headerKnown, plan.span, stop, priority);
            // Stopped: nothing decoded and nothing to say; the one who stopped goes on.
            if (staging.end == StageEnd::Stopped || stopped()) {
                return 0;
            }
            if (staging.end == StageEnd::Staged) {
                ReadValuesAhead(plan.ahead, plan.path, staging.file.get(), frame);
            }
        }
        // Ended before the decode: the cell says so, and nothing more is read.
        const HeaderFailure failure =
            staging.end == StageEnd::NotOpened ? OpenFailure(plan.path) : HeaderFailure{10008, -2003};
        // A header let go is freed once the lock is released: millions of elements take a while.
        XEVLetGoHeader letGo;
        ImageLockHold hold(lock_);
        if (filePath != plan.path) {
            continue;
        }
        if (loadedPath != filePath) {
            SetHelper(nullptr);
        }
        if (!MakeHelper()) {
            return 0;
        }
        vekHelper_->notifyWindow = notify;
        int32_t result = 0;
        if (staging.end != StageEnd::Staged) {
            if (staging.end == StageEnd::OverBudget) {
                vekHelper_->FailUnread(10017, XEVVEKHelper::kStatusLoadBudget, plan.path, std::max(frame, 0));
            } else if (staging.end == StageEnd::MemberBroken || staging.end == StageEnd::MemberLink) {
                vekHelper_->FailUnread(staging.end == StageEnd::MemberLink ? kXEVLinkMemberMessage : 10008, -2003,
                                       plan.path, -1, staging.member);
            } else if (staging.end == StageEnd::HeaderOverBudget) {
                // As the header's parse under the lock says it (HeaderLoadFailure).
                vekHelper_->FailUnread(10006, XEVVEKHelper::kStatusLoadBudget, plan.path, -1);
            } else {
                vekHelper_->FailUnread(failure.messageId, failure.statusCode, plan.path,
                                       staging.end == StageEnd::ReadFailed ? std::max(frame, 0) : -1);
            }
            frame = -1;
        } else {
            // The helper may have been let go or its frame freed since the plan: the bytes
            // staged are then not what the decode needs, and are read again.
            bool loadedNow = false;
            XEVFrameSpan unused;
            const bool headerKnownNow = vekHelper_->PlanFrame(plan.path, frame, unused, loadedNow);
            const bool headerStill = headerKnownNow || (plan.ahead != nullptr && vekHelper_->HeaderLent());
            if (!loadedNow && (!staging.file || (plan.headerKnown && !headerStill))) {
                continue;
            }
            vekHelper_->account = GetLoadState().AccountOf(disc);
            result = vekHelper_->LoadImage(filePath, frame, staging.file.get(), plan.ahead.get());
            vekHelper_->TakeLetGoHeader(letGo);
        }
        // The file's bytes go with the decode, not with the cell's notice; a header it parsed
        // that no load took goes with the lock.
        if (staging.file != nullptr && letGo.parsed == nullptr) {
            letGo.parsed = staging.file->TakeHeader();
        }
        staging.file.reset();
        if (result == 0 && stopped()) {
            // Cut short by the stop: no failure to show, and nothing kept of it.
            vekHelper_->ClearStatus();
            if (vekHelper_->frames.empty()) {
                SetHelper(nullptr);
            }
            return 0;
        }
        // A failure is kept for this file too: a later load finds it instead of reading again.
        loadedPath = filePath;
        if (result != 0) {
            fileFrames = vekHelper_->frameCount;
        } else if (vekHelper_->statusCode == XEVVEKHelper::kStatusOutOfMemory) {
            XEVLoadState& state = GetLoadState();
            state.memoryShort = 1;
            state.memoryShortStudy = 1;
        } else if (vekHelper_->statusCode != 0) {
            vekHelper_->failedFrames[std::max(asked, 0)] = {vekHelper_->statusCode, vekHelper_->statusText};
            if (!vekHelper_->statusText.isEmpty()) {
                GetLoadState().TellLoadFailure(vekHelper_->statusText, vekHelper_->statusCode, disc);
            }
        }
        post();
        return result;
    }
    return 0;
}

bool ImageInfo::MakeHelper()
{
    if (vekHelper_ == nullptr) {
        try {
            vekHelper_ = new XEVVEKHelper;
        } catch (...) {
            return false;
        }
    }
    return true;
}

XEVLoadState& GetLoadState()
{
    // Never destroyed: a reader in a read when the process ends may still look at it.
    static XEVLoadState* const state = new XEVLoadState;
    return *state;
}

namespace {

// How far a member's head is inflated to learn its frame's size before it is written out. The
// check runs before every extraction, in the medium's turn: a head read to kZipHeadLimit would
// inflate a member with a long value before its pixels twice, and hold its value in memory once
// more, before a byte is written. A frame described past this is checked by its decode.
constexpr uint64_t kBudgetCheckHead = uint64_t(4) << 20;

// The member's frame, its header read in place, is past the decode budget: writing it out would
// only have the decode refuse it.
bool MemberFramePastBudget(const std::string& path)
{
    XEVReadManager manager(loadMemoryBudget.load());
    VEK_InputStorage* storage = XEVOpenSourceHeader(&manager, XEVPathText(path), kBudgetCheckHead);
    bool past = false;
    if (storage != nullptr) {
        VEK_DICOMInfo info(&manager);
        past =
            info.load(storage) && info.has_pixel_data() != 0 &&
            PlatDecodedFrameBytes(info.width(), info.height(), info.channels(), info.bits()) > kPlatFrameDecodeBudget;
    }
    vek_destroy(storage);
    return past;
}

}   // namespace

int32_t XEVLoadState::ExtractZipMember(const std::string& path, const std::string& target,
                                       const XEVZipCopyControl* control, QString* shown) const
{
    const std::string zip = GetZipPath();
    if (zip.empty()) {
        return -1;
    }
    if (MemberFramePastBudget(path)) {
        return kZipUnreadable;
    }
    std::string member;
    const int32_t extracted = ::ExtractZipMember(zip, GetExtractFolder(), path, target, control, &member);
    if (shown != nullptr && !member.empty()) {
        *shown = XEVPathText(zip) + QLatin1Char('/') + XEVPathText(member);
    }
    return extracted;
}

namespace {
std::atomic<XEVMemoryTest> memoryTest{nullptr};
// Reading the figures from /proc costs tens of microseconds, a tenth of a CT slice's decode,
// so a pass with room to spare is reused briefly.
constexpr int64_t kMemoryPassReuseMs = 10;
std::atomic<int64_t> memoryPassUntil{INT64_MIN};
}   // namespace

void XEVSetMemoryTest(XEVMemoryTest test)
{
    memoryTest.store(test);
    memoryPassUntil.store(INT64_MIN);
}

bool XEVMemoryPassReusable(const PlatMemoryStatus& status, uint64_t processUse)
{
    const auto less = [](uint64_t value) { return value > kXEVMemoryReuseMargin ? value - kXEVMemoryReuseMargin : 0; };
    const PlatMemoryStatus tighter{less(status.availablePhysical), less(status.availableVirtual)};
    return processUse <= kXEVMaxProcessMemory - kXEVMemoryReuseMargin && IsMemoryAvailable(tighter, processUse);
}

bool XEVRunMemoryTest()
{
    const XEVMemoryTest test = memoryTest.load();
    if (test != nullptr) {
        return test();
    }
    const int64_t now = XEVSteadyMilliseconds();
    if (now < memoryPassUntil.load(std::memory_order_relaxed)) {
        return true;
    }
    PlatMemoryStatus status;
    if (!PlatGetMemoryStatus(status)) {
        return false;
    }
    const uint64_t processUse = GetProcessMemoryUse();
    if (!IsMemoryAvailable(status, processUse)) {
        return false;
    }
    if (XEVMemoryPassReusable(status, processUse)) {
        memoryPassUntil.store(now + kMemoryPassReuseMs, std::memory_order_relaxed);
    }
    return true;
}
