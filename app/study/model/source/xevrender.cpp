// Rendering a decoded frame for display: crop, scale, window to 8 bits, invert, DIB.

#include <cfloat>
#include <cstdlib>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <vector>

#include "study/xevvekhelper.h"
#include "vek_colorspace.h"
#include "vek_convertdatatype.h"
#include "vek_crop.h"
#include "vek_dib.h"
#include "vek_lut.h"
#include "vek_memory.h"
#include "vek_memorystorage.h"
#include "vek_numeric.h"
#include "vek_scale.h"
#include "vek_scaleli.h"
#include "vek_scaleppby.h"

namespace {

// A 2^bits-entry map of 8- or 16-bit samples, built once for its parameters.
struct SampleMap {
    const VEK_DataType* from = nullptr;
    uint16_t fromBits = 0;
    const VEK_DataType* to = nullptr;
    uint16_t toBits = 0;
    double slope = 0;
    double intercept = 0;
    XEVReadManager manager{XEVLoadMemoryBudget()};
    VEK_LutData lut{&manager};
};

// Filling a 16-bit window table costs about as much as mapping the frame through it, and
// scrolling a series keeps its window: the maps of the last renders are shared by every
// helper. Renders may run on any thread; a map in use stays alive through its shared_ptr.
class SampleMaps {
public:
    std::shared_ptr<const SampleMap> Find(const VEK_DataType* from, uint16_t fromBits, const VEK_DataType* to,
                                          uint16_t toBits, double slope, double intercept)
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto it = maps_.begin(); it != maps_.end(); ++it) {
            const SampleMap& m = **it;
            // Exact equality: a map is reused only for the very same values.
            if (m.from == from && m.fromBits == fromBits && m.to == to && m.toBits == toBits && m.slope == slope &&
                m.intercept == intercept) {
                maps_.splice(maps_.begin(), maps_, it);
                return maps_.front();
            }
        }
        std::shared_ptr<SampleMap> made;
        try {
            made = std::make_shared<SampleMap>();
            made->from = from;
            made->fromBits = fromBits;
            made->to = to;
            made->toBits = toBits;
            made->slope = slope;
            made->intercept = intercept;
            VEK_LutData& lut = made->lut;
            lut.bits(toBits);
            lut.channels(1);
            lut.entries(uint32_t(1) << fromBits);
            lut.data_type(to);
            std::vector<uint8_t> table(size_t(lut.expected_bytes()));
            const int32_t offset = from == VEK_DataType::u_integer ? 0 : -(int32_t(1) << (fromBits - 1));
            VEK_ConvertDataType::fill_linear_lut(table.data(), offset, lut, slope, intercept);
            if (!lut.value(table.data(), uint32_t(table.size()))) {
                return nullptr;
            }
        } catch (const std::bad_alloc&) {
            // The caller maps without a kept table.
            return nullptr;
        }
        maps_.push_front(std::move(made));
        if (maps_.size() > kKept) {
            maps_.pop_back();
        }
        return maps_.front();
    }

private:
    // Enough for the windows of a screen of cells, each inverted or not.
    static constexpr size_t kKept = 8;
    std::mutex mutex_;
    std::list<std::shared_ptr<const SampleMap>> maps_;
};

SampleMaps& Maps()
{
    static SampleMaps& maps = *new SampleMaps;
    return maps;
}

// out = in x slope + intercept as the converter gives it; integer 8- and 16-bit images
// larger than their table go through a shared map, kept in held until the render ends.
VEK_Engine* MapSamples(VEK_Manager* m, VEK_Engine* engine, const VEK_DataType* type, uint16_t bits, double slope,
                       double intercept, std::vector<std::shared_ptr<const SampleMap>>& held)
{
    const VEK_Header* h = engine->header();
    const VEK_DataType* from = h->data_type();
    const uint16_t fromBits = h->bits();
    const bool integers = (from == VEK_DataType::u_integer || from == VEK_DataType::s_integer) &&
                          (type == VEK_DataType::u_integer || type == VEK_DataType::s_integer);
    const bool unchanged = from == type && fromBits == bits && nearly_equal(slope, 1.0, DBL_EPSILON) &&
                           nearly_equal(intercept, 0.0, DBL_EPSILON);
    const uint64_t samples = uint64_t(h->channels()) * h->height() * h->width();
    if (!integers || unchanged || (fromBits != 8 && fromBits != 16) || (bits != 8 && bits != 16) ||
        samples <= (uint64_t(1) << fromBits)) {
        return VEK_ConvertDataType(m).engine(engine, type, bits, slope, intercept);
    }
    std::shared_ptr<const SampleMap> map = Maps().Find(from, fromBits, type, bits, slope, intercept);
    if (map == nullptr) {
        return VEK_ConvertDataType(m).engine(engine, type, bits, slope, intercept);
    }
    held.push_back(map);
    return VEK_Lut(m).engine(engine, &map->lut, nullptr);
}

// Smooth scaling interpolates unsigned samples: a signed image is shifted up around it so
// that values either side of 0 do not wrap. With keepShifted the shift stays and its size
// goes to shift, for a window map that takes it into its intercept; otherwise it is undone.
VEK_Engine* ScaleSmooth(VEK_Manager* m, VEK_Engine* engine, uint32_t width, uint32_t height, uint32_t fileWidth,
                        bool keepShifted, double& shift, std::vector<std::shared_ptr<const SampleMap>>& held)
{
    const VEK_Header* h = engine->header();
    const bool signedSamples = h->data_type() == VEK_DataType::s_integer && (h->bits() == 8 || h->bits() == 16);
    const uint16_t bits = h->bits();
    const double offset = bits == 8 ? 128.0 : 32768.0;
    shift = 0;
    if (signedSamples) {
        engine = MapSamples(m, engine, VEK_DataType::u_integer, bits, 1.0, offset, held);
        if (engine == nullptr) {
            return nullptr;
        }
    }
    if (width < fileWidth) {
        engine = VEK_ScalePPFastBy<VEK_FixedRealImpl<int, 12>>(m).engine(engine, width, height);
    } else {
        engine = VEK_ScaleLIFastBy<VEK_FixedRealImpl<int, 12>>(m).engine(engine, width, height);
    }
    if (engine != nullptr && signedSamples) {
        if (keepShifted) {
            shift = offset;
        } else {
            engine = MapSamples(m, engine, VEK_DataType::s_integer, bits, 1.0, -offset, held);
        }
    }
    return engine;
}

}   // namespace

int32_t XEVVEKHelper::RenderToView(const uint8_t* source, uint32_t size, int32_t frame)
{
    if (source == nullptr) {
        return 1;
    }
    displayData = nullptr;
    displaySize = 0;
    FrameImageInfo* target = GetFrame(frame);
    if (target == nullptr) {
        return 0;
    }
    std::lock_guard<PlatRecursiveLock> guard(lock);
    // Declared before the manager, so the maps outlive the engines that read them.
    std::vector<std::shared_ptr<const SampleMap>> held;
    XEVReadManager m(XEVLoadMemoryBudget());
    VEK_Header copy(&m);
    copy = header;
    VEK_ByteArrayOutputStorage* storage = nullptr;
    const auto finish = [&](int32_t result) {
        vek_destroy(storage);
        m.clear();
        return result;
    };

    VEK_Engine* engine = VEK_ReadMemory(&m).engine(copy, source, size);
    if (engine != nullptr) {
        engine =
            VEK_Crop(&m).engine(engine, uint32_t(cropX), uint32_t(cropY), uint32_t(cropWidth), uint32_t(cropHeight));
    }
    if (engine != nullptr && VEK_ColorType::is_ycbcr(engine->header()->color_type())) {
        engine = VEK_ColorSpace(&m).engine(engine, VEK_ColorType_s_rgb::instance());
    }
    if (engine == nullptr) {
        return finish(0);
    }
    // A width below 1 cannot be drawn; it shows as 1.
    const double width = target->windowWidth >= 1 ? target->windowWidth : 1.0;
    const double centre = target->windowCenter;
    const double high = centre + width * 0.5 - 1;
    const double low = high - (width - 1);
    double slope = 256.0 / width;
    double intercept = -low * slope;
    if (smallSlope != 0) {
        // Memory holds 100 x value - 99 x intercept.
        intercept += smallSlopeIntercept * slope;
        slope /= 100;
    }
    // The smooth scalers interpolate 8- and 16-bit samples only: wider ones, such as 32-bit
    // frames, are windowed to 8 bits before any scaling, whatever the window.
    const uint16_t sampleBits = engine->header()->bits();
    const bool mapFirst = 256.0 / width > 1 || (sampleBits != 8 && sampleBits != 16);
    // The size of a shift the smooth scaling left in the samples for the map to take.
    double shift = 0;
    const uint32_t targetWidth = uint32_t(std::max(viewWidth, 1));
    const uint32_t targetHeight = uint32_t(std::max(viewHeight, 1));
    const auto map = [&](VEK_Engine* e) {
        return MapSamples(&m, e, VEK_DataType::u_integer, 8, slope, intercept - shift * slope, held);
    };
    const auto scale = [&](VEK_Engine* e) -> VEK_Engine* {
        if (scaleMode == 1) {
            // Scaled before the map: the map undoes the shift, saving a pass over the larger image.
            return ScaleSmooth(&m, e, targetWidth, targetHeight, header.width(), !mapFirst, shift, held);
        }
        if (scaleMode == 2) {
            return VEK_ScaleNN(&m).engine(e, targetWidth, targetHeight);
        }
        return e;
    };
    const VEK_Header* shown = engine->header();
    const bool reversed = VEK_ColorType::is_gray_reverse(shown->color_type());
    if (scaleMode == 1 && !mapFirst && targetWidth >= header.width() &&
        (reversed || VEK_ColorType::is_gray(shown->color_type())) &&
        VEK_ScaleLIMapBy<VEK_FixedRealImpl<int, 12>>::accepts(*shown, targetWidth, targetHeight)) {
        // Grey 16-bit enlargement, the common paint: the shift of signed samples, the window,
        // MONOCHROME1 and the user's inversion all ride on the scaling's passes, with the very
        // values the separate steps below give.
        shift = shown->data_type() == VEK_DataType::s_integer ? 32768.0 : 0.0;
        engine = VEK_ScaleLIMapBy<VEK_FixedRealImpl<int, 12>>(&m).engine(
            engine, targetWidth, targetHeight, slope, intercept - shift * slope, reversed != (invertFlag != 0),
            reversed ? VEK_ColorType_gray::instance() : nullptr);
    } else {
        engine = mapFirst ? map(engine) : scale(engine);
        if (engine != nullptr) {
            engine = mapFirst ? scale(engine) : map(engine);
        }
        if (engine != nullptr && VEK_ColorType::is_gray_reverse(engine->header()->color_type())) {
            engine = VEK_ColorSpace(&m).engine(engine, VEK_ColorType_gray::instance());
        }
        if (engine != nullptr && invertFlag != 0) {
            engine = MapSamples(&m, engine, VEK_DataType::u_integer, 8, -1.0, 255.0, held);
        }
    }
    if (engine == nullptr) {
        return finish(0);
    }
    const VEK_WriteDIBOption option(0, 300, 300, 0);
    dibBytes = VEK_WriteDIB::dib_bytes(engine->header(), option);
    dibInfoBytes = VEK_WriteDIB::info_bytes(engine->header(), option);
    if (dibBytes == 0 || dibBytes > uint32_t(INT32_MAX)) {
        return finish(0);
    }
    // Written straight into the display memory, kept when its size fits: no second copy of
    // the bitmap per render. A failed write leaves no half-written bitmap behind.
    XEVImageMemory& display = target->displayBuffer;
    if (display.Size() != dibBytes || display.Data() == nullptr) {
        display.Allocate(dibBytes);
    }
    if (display.Data() == nullptr) {
        return finish(0);
    }
    storage = VEK_ByteArrayOutputStorage::create(&m, display.Data(), int32_t(dibBytes));
    VEK_Engine* writer = storage == nullptr ? nullptr : VEK_WriteDIB(&m).engine(engine, storage, option);
    if (writer != nullptr) {
        while (writer->execute()) {
        }
    }
    if (writer == nullptr || (m.status().full_code() & 0x80000000u) != 0) {
        finish(0);
        display.Free();
        return 0;
    }
    displayData = target->displayBuffer.Data();
    displaySize = target->displayBuffer.Size();
    return finish(1);
}
