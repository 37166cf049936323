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

#include "platform/platfile.h"
#include "shell/xev_uistring.h"
#include "shell/xev_utility.h"
#include "shell/xevmessageids.h"
#include "shell/xevziparchive.h"
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
#include "vek_signedextension.h"
#include "xevdicomvalues.h"
#include "xevstudytext.h"

namespace {

constexpr uint32_t kVrOW = 0x574F;
const char16_t kCRClass[] = u"1.2.840.10008.5.1.4.1.1.1";

// Destroys a storage, and the file bytes a memory storage reads, when the call leaves.
struct StorageHolder {
    VEK_InputStorage* storage = nullptr;
    void* bytes = nullptr;
    ~StorageHolder()
    {
        vek_destroy(storage);
        std::free(bytes);
    }
};

// A header the reader refused: its format error (a compression or colour form the reader does
// not take) is an image it cannot read; anything else leaves the tags unreadable.
struct HeaderFailure {
    uint32_t messageId;
    int32_t statusCode;
};
HeaderFailure HeaderLoadFailure(VEK_Manager& manager)
{
    if (manager.status().code() == VEK_ERROR_FORMAT) {
        return {10008, -2003};
    }
    return {10007, -2002};
}

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
    void* bytes = std::malloc(size_t(size));
    if (bytes == nullptr) {
        return;
    }
    if (holder.storage->read(bytes, size) != size) {
        std::free(bytes);
        holder.storage->seek(0);
        return;
    }
    VEK_ByteArrayInputStorage* memory = vek_create<VEK_ByteArrayInputStorage>(manager, bytes, size);
    if (memory == nullptr) {
        std::free(bytes);
        holder.storage->seek(0);
        return;
    }
    vek_destroy(holder.storage);
    holder.storage = memory;
    holder.bytes = bytes;
}

}   // namespace

// The values of one element as text, split at "\".
QStringList DicomTextValues(VEK_Manager* manager, const VEK_DICOMTagObj& info, uint16_t group, uint16_t element)
{
    VEK_DefaultManager local;
    if (manager == nullptr) {
        manager = &local;
    }
    VEK_WString text(manager);
    if (!info.get_string(group, element, text)) {
        return {};
    }
    return VekToQString(text).split(QLatin1Char('\\'));
}

// Descriptor and data of the first item of a LUT sequence; false when any part is missing.
bool ReadLutItem(VEK_Manager* manager, const VEK_DICOMTagObj& info, uint16_t sequence, std::vector<int32_t>& descriptor,
                 std::vector<int32_t>& data)
{
    VEK_DefaultManager local;
    if (manager == nullptr) {
        manager = &local;
    }
    VEK_DICOMTagObj item(info);
    if (!info.get_item(0x0028, sequence, 0, item) || !item.exist(0x0028, 0x3002) || !item.exist(0x0028, 0x3006)) {
        return false;
    }
    VEK_Vector<int> values(manager);
    if (!item.get_long_values(0x0028, 0x3002, values) || values.size() != 3) {
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
    if (!item.get_long_values(0x0028, 0x3006, list)) {
        return false;
    }
    data.assign(list.begin(), list.end());
    return true;
}

void XEVVEKHelper::ResetFileValues()
{
    frameCount = 1;
    sopClassUid.clear();
    transferSyntax.clear();
    lossyFlag.clear();
    rescaleIntercept = 0;
    rescaleSlope = 1.0;
    rescaleType.clear();
    windowPresent = 0;
    windowCenter = windowWidth = 0;
    modalityLutPresent = 0;
    modalityLutDescriptor.clear();
    modalityLutData.clear();
    voiLutPresent = 0;
    voiLutDescriptor.clear();
    voiLutData.clear();
    smallSlope = 0;
    smallSlopeIntercept = 0;
    colorFlag = 0;
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
    const QStringList centres = DicomTextValues(&manager, dicomInfo, 0x0028, 0x1050);
    const QStringList widths = DicomTextValues(&manager, dicomInfo, 0x0028, 0x1051);
    // A width of 0, below 0 or not finite cannot be shown: the first usable pair.
    for (qsizetype i = 0; i < std::min(centres.size(), widths.size()); ++i) {
        const double centre = StrToFloatEnglish(centres[i].trimmed());
        const double width = StrToFloatEnglish(widths[i].trimmed());
        if (std::isfinite(centre) && std::isfinite(width) && width > 0) {
            windowPresent = 1;
            windowCenter = centre;
            windowWidth = width;
            return;
        }
    }
}

void XEVVEKHelper::DefaultWindowFromBits(uint32_t bits, double& centre, double& width)
{
    centre = std::ldexp(1.0, int(bits) - 1);
    width = std::ldexp(1.0, int(bits));
}

VEK_Engine* XEVVEKHelper::ApplyLookupTable(const std::vector<int32_t>& descriptor, const std::vector<int32_t>& data,
                                           VEK_Engine* engine)
{
    if (descriptor.size() != 3) {
        return engine;
    }
    const uint32_t entries = descriptor[0] == 0 ? 65536u : uint32_t(descriptor[0]);
    const int32_t first = descriptor[1];
    const int32_t d = descriptor[2];
    if (d <= 0 || d > 16 || data.size() < entries) {
        return engine;
    }
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
    return result;
}

namespace {

// Lowest and highest of n samples of type T.
template <class T>
void SampleRange(const uint8_t* data, size_t n, double& lo, double& hi)
{
    if (n == 0) {
        return;
    }
    const T* samples = reinterpret_cast<const T*>(data);
    T low = samples[0], high = samples[0];
    // Blocks of a fixed count, so that the compiler turns the inner loop into vector code.
    constexpr size_t kBlock = 64;
    size_t i = 0;
    for (; i + kBlock <= n; i += kBlock) {
        const T* block = samples + i;
        for (size_t j = 0; j < kBlock; ++j) {
            low = block[j] < low ? block[j] : low;
            high = block[j] > high ? block[j] : high;
        }
    }
    for (; i < n; ++i) {
        low = std::min(low, samples[i]);
        high = std::max(high, samples[i]);
    }
    lo = std::min(lo, double(low));
    hi = std::max(hi, double(high));
}

}   // namespace

bool XEVVEKHelper::WindowFromValueRange(const VEK_Header& frameHeader, const uint8_t* data, double& centre,
                                        double& width)
{
    // One pass over the decoded frame, all channels together: no second run of the chain.
    const size_t n = size_t(frameHeader.width()) * frameHeader.height() * frameHeader.channels();
    const bool isUnsigned = frameHeader.data_type() == VEK_DataType::u_integer;
    const bool isSigned = frameHeader.data_type() == VEK_DataType::s_integer;
    // Starts at the lowest double, not the smallest positive one: all-negative images.
    double maximum = -DBL_MAX;
    double minimum = DBL_MAX;
    switch (frameHeader.bits()) {
    case 1:
        // The two values a one-bit sample can take, at the window's edges: 0 black, 1 white.
        centre = 0.5;
        width = 1;
        return true;
    case 8:
        isUnsigned ? SampleRange<uint8_t>(data, n, minimum, maximum) : SampleRange<int8_t>(data, n, minimum, maximum);
        break;
    case 16:
        isUnsigned ? SampleRange<uint16_t>(data, n, minimum, maximum) : SampleRange<int16_t>(data, n, minimum, maximum);
        break;
    case 32:
        if (isUnsigned) {
            SampleRange<uint32_t>(data, n, minimum, maximum);
        } else if (isSigned) {
            SampleRange<int32_t>(data, n, minimum, maximum);
        } else {
            SampleRange<float>(data, n, minimum, maximum);
        }
        break;
    default: return false;
    }
    if (minimum > maximum) {
        return false;
    }
    width = maximum - minimum + 1;
    centre = minimum + width * 0.5;
    return true;
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

void XEVVEKHelper::SetPixelValueSource(FrameImageInfo* frame, const VEK_Header& frameHeader)
{
    // The frame's own annotation manager reads it.
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
    source.bits = frameHeader.bits();
    const bool preLut = frame->preLutBuffer.Data() != nullptr;
    source.data = preLut ? frame->preLutBuffer.Data() : frame->Data();
    source.size = preLut ? frame->preLutBuffer.Size() : frame->Size();
    source.width = int32_t(frameHeader.width());
    source.height = int32_t(frameHeader.height());
    source.isSigned = frameHeader.data_type() == VEK_DataType::s_integer ? 1 : 0;
    source.factor = smallSlope != 0 ? 0.01 : 1.0;
    source.offset = smallSlope != 0 ? smallSlopeIntercept : 0.0;
}

void XEVVEKHelper::PrereadFile(const std::string& path)
{
    // Brings a multi-frame file into the file cache once, so later frames do not seek the disc.
    constexpr size_t kBlock = 409600;
    std::unique_ptr<char[]> buffer(new (std::nothrow) char[kBlock]);
    if (!buffer) {
        return;
    }
    std::FILE* file = PlatOpenRegularStream(path.c_str());
    if (file == nullptr) {
        return;
    }
    while (std::fread(buffer.get(), 1, kBlock, file) == kBlock) {
    }
    std::fclose(file);
}

void XEVVEKHelper::FailFrame(uint32_t messageId, int32_t code, const QString& path, int32_t frame)
{
    statusText = QString::asprintf("%s\n      [%s]\n      [frame:%d]", GetMessageString(messageId).toUtf8().constData(),
                                   path.toUtf8().constData(), frame + 1);
    statusCode = code;
}

int32_t XEVVEKHelper::LoadImage(const QString& path, int32_t& frame)
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
        result = LoadFrame(path, frame);
    } catch (...) {
        result = 0;
    }
    manager.clear();
    if (result == 0) {
        frame = -1;
    }
    return result;
}

int32_t XEVVEKHelper::LoadFrame(const QString& path, int32_t& frame)
{
    filePath = path;
    allFramesLoaded = 0;
    cancelFlag = 0;
    const std::string narrowPath = path.toStdString();
    manager.clear();

    StorageHolder holder;
    holder.storage = VEK_FileInputStorage::create(&manager, narrowPath.c_str());
    XEVLoadState& state = GetLoadState();
    if (holder.storage == nullptr && !state.archiveFolder.empty() &&
        state.ExtractZipMember(narrowPath, narrowPath) == 0) {
        manager.clear();
        holder.storage = VEK_FileInputStorage::create(&manager, narrowPath.c_str());
    }
    const auto fileFail = [&](uint32_t id, int32_t code) {
        statusText = GetMessageString(id) + QStringLiteral("\n      [") + path + QStringLiteral("]\n");
        statusCode = code;
        return 0;
    };
    if (holder.storage == nullptr) {
        return fileFail(10005, -2001);
    }
    // A fresh helper asked for a later frame reads the header first and keeps that frame: an
    // entry of one frame of a multi-frame file starts there.
    const bool firstOfFile = frame == 0 || !dicomInfo.is_valid();
    if (firstOfFile) {
        ReadWholeFile(&manager, holder);
        ResetFileValues();
        // The message says the tags are unreadable, not that memory ran out.
        if (!dicomInfo.load(holder.storage)) {
            const HeaderFailure failure = HeaderLoadFailure(manager);
            return fileFail(failure.messageId, failure.statusCode);
        }
        uint32_t count = 0;
        frameCount =
            dicomInfo.get_ulong(0x0028, 0x0008, count) && count > 0 ? int32_t(std::min<uint32_t>(count, INT32_MAX)) : 1;
        transferSyntax = VekToQString(dicomInfo.get_string_value(0x0002, 0x0010)).trimmed();
        lossyFlag = VekToQString(dicomInfo.get_string_value(0x0028, 0x2110)).trimmed();
        sopClassUid = VekToQString(dicomInfo.get_string_value(0x0008, 0x0016)).trimmed();
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
    uint32_t bitsStored = 0;
    if (!dicomInfo.get_ulong(0x0028, 0x0101, bitsStored)) {
        bitsStored = 0;
    }
    if (frameCount == 1) {
        frame = 0;
    } else if (frame < 0 || frame >= frameCount) {
        // No such frame in the file: another frame in its place would show the wrong image.
        FailFrame(10008, -2003, path, frame);
        return 0;
    }

    if (frame == 1) {
        PrereadFile(narrowPath);
    }

    std::unique_ptr<FrameImageInfo> record(new (std::nothrow) FrameImageInfo);
    if (!record) {
        FailFrame(10006, -2, path, frame);
        return 0;
    }
    double slope = rescaleSlope;
    double intercept = rescaleIntercept;
    double centre = windowCenter;
    double width = windowWidth;
    QString frameRescaleType = rescaleType;
    int32_t framePresent = windowPresent;
    int32_t frameVoi = voiLutPresent;
    GroupValues perFrame;
    perFrame.intercept = intercept;
    perFrame.slope = slope;
    perFrame.rescaleType = rescaleType;
    perFrame.centre = centre;
    perFrame.width = width;
    if (ReadFunctionalGroups(sopClassUid, dicomInfo, frame, perFrame) != 0 &&
        (perFrame.windowPresent != 0 || perFrame.voiLutPresent != 0)) {
        framePresent = perFrame.windowPresent;
        frameVoi = perFrame.voiLutPresent;
    }
    // A frame without its own window keeps the shared one.
    intercept = perFrame.intercept;
    slope = perFrame.slope;
    frameRescaleType = perFrame.rescaleType;
    if (perFrame.windowPresent != 0) {
        centre = perFrame.centre;
        width = perFrame.width;
    }
    ReadCalibration(dicomInfo, record.get());
    ReadFramePosition(frame, record.get());
    BuildCornerValues(dicomInfo, record.get());

    VEK_Engine* engine = VEK_ReadDICOM(&manager).engine(holder.storage, dicomInfo, uint32_t(frame));
    if (engine == nullptr) {
        FailFrame(10008, -2003, path, frame);
        return 0;
    }
    if (VekToQString(dicomInfo.get_string_value(0x0028, 0x0004)).trimmed() == QStringLiteral("PALETTE COLOR") &&
        engine->header()->bits() == 16) {
        engine = VEK_ConvertDataType(&manager).engine(engine, VEK_DataType::u_integer, 8, 255.0 / 65535.0, 0);
        if (engine == nullptr) {
            FailFrame(10011, -2004, path, frame);
            return 0;
        }
    }
    engine = VEK_ApplyPalette(&manager).engine(engine);
    if (engine == nullptr) {
        FailFrame(10011, -2004, path, frame);
        return 0;
    }
    // A mask of 0 would blank the image; 32 and more bits need none.
    if (bitsStored > 0 && bitsStored < 32 && engine->header()->bits() >= bitsStored) {
        if (engine->header()->data_type() == VEK_DataType::s_integer) {
            engine = VEK_SignedExtension(&manager).engine(engine, uint8_t(bitsStored - 1));
        } else if (engine->header()->data_type() == VEK_DataType::u_integer && engine->header()->bits() > bitsStored) {
            engine = VEK_And(&manager).engine(engine, uint32_t((uint64_t{1} << bitsStored) - 1));
        }
        if (engine == nullptr) {
            return 0;
        }
    }
    bool rangeWindow = false;
    const VEK_ColorType* colour = engine->header()->color_type();
    const bool gray = VEK_ColorType::is_gray(colour) || VEK_ColorType::is_gray_reverse(colour);
    if (!gray) {
        colorFlag = 1;
        if (framePresent == 0) {
            if (bitsStored == 0) {
                bitsStored = engine->header()->bits();
            }
            if (engine->header()->data_type() == VEK_DataType::u_integer) {
                DefaultWindowFromBits(bitsStored, centre, width);
            } else {
                centre = 0;
                width = std::ldexp(1.0, int(bitsStored));
            }
        }
    } else {
        colorFlag = 0;
        if (modalityLutPresent != 0) {
            engine = ApplyLookupTable(modalityLutDescriptor, modalityLutData, engine);
            if (engine == nullptr) {
                return 0;
            }
        } else {
            const VEK_Header* h = engine->header();
            const uint32_t b = h->bits();
            double lo = 0, hi = 0;
            if (h->data_type() == VEK_DataType::s_integer) {
                const uint32_t s = bitsStored > 0 ? bitsStored : b;
                lo = -std::ldexp(1.0, int(s) - 1);
                hi = std::ldexp(1.0, int(s) - 1) - 1;
            } else {
                hi = std::ldexp(1.0, int(b)) - 1;
            }
            double useSlope = slope;
            // Small positive slopes keep two decimals of the real value: memory holds 100 x value.
            if (slope > 0 && slope < 0.01) {
                smallSlope = 1;
                smallSlopeIntercept = intercept * 0.99;
                useSlope = slope * 100;
            }
            const double top = hi * useSlope + intercept;
            const double bottom = lo * useSlope + intercept;
            if (top < 0 || bottom < 0) {
                engine = VEK_ConvertDataType(&manager).engine(engine, VEK_DataType::s_integer, uint16_t(b), useSlope,
                                                              intercept);
                if (engine == nullptr) {
                    FailFrame(10012, -2008, path, frame);
                    return 0;
                }
            } else {
                engine = VEK_ConvertDataType(&manager).engine(engine, h->data_type(), uint16_t(b), useSlope, intercept);
                if (engine == nullptr) {
                    FailFrame(10013, -2009, path, frame);
                    return 0;
                }
            }
        }
        if (frameVoi != 0) {
            VEK_Vector<VEK_Engine*> outputs = engine->branch(2);
            if (outputs.size() != 2) {
                FailFrame(10014, -2010, path, frame);
                return 0;
            }
            const VEK_Header* h = outputs[1]->header();
            const uint64_t bytes = (uint64_t(h->channels()) * h->bits() * h->width() + 7) / 8 * h->height();
            if (bytes > UINT32_MAX) {
                FailFrame(10015, -2, path, frame);
                return 0;
            }
            record->preLutBuffer.Allocate(uint32_t(bytes));
            if (bytes != 0 && record->preLutBuffer.Data() == nullptr) {
                FailFrame(10015, -2, path, frame);
                return 0;
            }
            VEK_Engine* writer =
                VEK_WriteMemory(&manager).engine(outputs[1], record->preLutBuffer.Data(), uint32_t(bytes));
            if (writer == nullptr) {
                FailFrame(10014, -2010, path, frame);
                return 0;
            }
            while (writer->execute()) {
            }
            engine = ApplyLookupTable(voiLutDescriptor, voiLutData, outputs[0]);
            if (engine == nullptr) {
                return 0;
            }
            WindowFromLutRange(voiLutData, centre, width);
        } else if (framePresent == 0) {
            if (bitsStored == 0) {
                bitsStored = engine->header()->bits();
            }
            if (sopClassUid == QString::fromUtf16(kCRClass)) {
                DefaultWindowFromBits(bitsStored, centre, width);
            } else {
                rangeWindow = true;
            }
        }
    }

    header = *engine->header();
    if (firstOfFile) {
        cropX = cropY = 0;
        cropWidth = viewWidth = int32_t(header.width());
        cropHeight = viewHeight = int32_t(header.height());
    }
    const uint64_t bytes = (uint64_t(header.channels()) * header.bits() * header.width() + 7) / 8 * header.height();
    if (bytes > UINT32_MAX) {
        FailFrame(10015, -2, path, frame);
        return 0;
    }
    record->Allocate(uint32_t(bytes));
    if (bytes != 0 && record->Data() == nullptr) {
        FailFrame(10015, -2, path, frame);
        return 0;
    }
    VEK_Engine* writer = VEK_WriteMemory(&manager).engine(engine, record->Data(), uint32_t(bytes));
    if (writer == nullptr) {
        FailFrame(10016, -2010, path, frame);
        return 0;
    }
    SetPixelValueSource(record.get(), header);
    while (writer->execute()) {
    }
    const uint32_t code = manager.status().full_code();
    if ((code & 0x80000000u) != 0) {
        if ((code & 0xFFFF0000u) == 0x80010000u) {
            FailFrame(10017, -2, path, frame);
        } else {
            FailFrame(10018, -2011, path, frame);
        }
        return 0;
    }
    if (rangeWindow) {
        if (!WindowFromValueRange(header, record->Data(), centre, width)) {
            return 0;
        }
        if (smallSlope != 0) {
            // The window is kept in real values; memory holds 100 x value - 99 x intercept.
            centre = centre * 0.01 + smallSlopeIntercept;
            width *= 0.01;
        }
    }
    if (bitsStored == 0) {
        bitsStored = header.bits();
    }
    record->SetWindow(centre, width, 1);
    record->rescaleSlope = slope;
    record->rescaleIntercept = intercept;
    record->rescaleType = frameRescaleType;
    const bool isUnsigned =
        sopClassUid == QString::fromUtf16(kCRClass) || header.data_type() == VEK_DataType::u_integer;
    record->SetWindowRange(int32_t(bitsStored), isUnsigned ? 1 : 0);
    record->UpdateWindowStep();
    AddFrame(frame, record.release());
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
        return fail(10005, -2001);
    }
    if (!info.load(holder.storage)) {
        const HeaderFailure failure = HeaderLoadFailure(manager);
        return fail(failure.messageId, failure.statusCode);
    }
    uint32_t frames = 0;
    count = info.get_ulong(0x0028, 0x0008, frames) && frames > 0 ? int32_t(std::min<uint32_t>(frames, INT32_MAX)) : 1;
    releaseStorage();
    manager.clear();
    return 1;
}

int32_t ImageInfo::LoadImage(int32_t& frame, const XEVWindowHandle& notify, int32_t forced)
{
    std::lock_guard<PlatRecursiveLock> guard(lock_);
    if (filePath.isEmpty()) {
        return 0;
    }
    if (loadedPath != filePath) {
        SetHelper(nullptr);
    }
    if (vekHelper_ == nullptr) {
        try {
            vekHelper_ = new XEVVEKHelper;
        } catch (...) {
            return 0;
        }
    }
    XEVLoadState& state = GetLoadState();
    const auto post = [&] {
        if (!notify.IsNull()) {
            XEVPostMessage(notify, WM_XEV_IMAGE_LOADED, reinterpret_cast<XEVWParam>(this), 0);
        }
    };
    if (forced == 0 && !XEVRunMemoryTest()) {
        state.memoryShort = 1;
        state.memoryShortStudy = 1;
        vekHelper_->statusCode = XEVVEKHelper::kStatusOutOfMemory;
        post();
        return 0;
    }
    vekHelper_->notifyWindow = notify;
    if (vekHelper_->LoadImage(filePath, frame) != 0) {
        loadedPath = filePath;
        post();
        return 1;
    }
    if (vekHelper_->statusCode == XEVVEKHelper::kStatusOutOfMemory) {
        state.memoryShort = 1;
        state.memoryShortStudy = 1;
    }
    post();
    return 0;
}

XEVLoadState& GetLoadState()
{
    static XEVLoadState state;
    return state;
}

int32_t XEVLoadState::ExtractZipMember(const std::string& path, const std::string& target) const
{
    if (GetZipPath().empty()) {
        return -1;
    }
    return ::ExtractZipMember(GetZipPath(), GetExtractFolder(), path, target);
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
