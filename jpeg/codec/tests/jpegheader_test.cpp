#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "jpeg/jpegdecoder.h"
#include "jpeg/jpegmarkers.h"
#include "jpeg/jpegtables.h"
#include "jpegtestsupport.h"

namespace {

const std::vector<Component> kGrey{{1, 0x11, 0}};
const std::vector<Component> kThree{{1, 0x22, 0}, {2, 0x11, 0}, {3, 0x11, 0}};

// SOI, `before`, DQT, DC and AC tables, the frame, `between`, one scan over every component.
Bytes Stream(uint8_t sof, uint8_t precision, uint16_t lines, uint16_t samples, const std::vector<Component>& components,
             const Bytes& before = {}, uint8_t ss = 0, uint8_t se = 63, uint8_t approximation = 0)
{
    Bytes out;
    Marker(out, 0xD8);
    out.insert(out.end(), before.begin(), before.end());
    Quant(out);
    LumaDc(out);
    SmallAc(out);
    Frame(out, sof, precision, lines, samples, components);
    std::vector<ScanComponent> scan;
    for (const Component& c : components) {
        scan.push_back({c.id, 0x00});
    }
    if (sof == 0xC2 && ss != 0) {
        scan.resize(1);
    } else if (sof == 0xC2) {
        se = 0;
    }
    Scan(out, scan, ss, se, approximation);
    out.insert(out.end(), {0x12, 0x34, 0xFF, 0xD9});
    return out;
}

struct Read {
    TestHeap heap;
    Bytes bytes;   // the memory source reads in place: the bytes live as long as the decoder
    jpeg_decoder* decoder = nullptr;
    jpeg_status status = 0;

    Read(const Bytes& stream, int32_t color = JPEG_COLOR_NONE, const jpeg_decoder* donor = nullptr) : bytes(stream)
    {
        decoder = OpenBytes(bytes, &heap);
        status = jpeg_read_header(decoder, color, static_cast<uint32_t>(bytes.size()), donor);
    }
    ~Read()
    {
        jpeg_decoder_destroy(decoder);
        EXPECT_EQ(heap.live, 0);
    }
};

jpeg_status Markers(const Bytes& bytes, jpeg_decoder** kept = nullptr, TestHeap* heap = nullptr)
{
    static TestHeap local;
    jpeg_decoder* decoder = OpenBytes(bytes, heap != nullptr ? heap : &local);
    const jpeg_status status = jpeg_read_markers(decoder);
    if (kept != nullptr) {
        *kept = decoder;
    } else {
        jpeg_decoder_destroy(decoder);
    }
    return status;
}

Bytes App(uint8_t code, const Bytes& payload)
{
    Bytes out;
    Segment(out, code, payload);
    return out;
}

Bytes Jfif(uint8_t units, uint16_t x, uint16_t y)
{
    Bytes payload{'J', 'F', 'I', 'F', 0, 1, 2, units};
    Put16(payload, x);
    Put16(payload, y);
    payload.insert(payload.end(), {0, 0});
    return App(0xE0, payload);
}

}   // namespace

// Streams that break the format, each refused with its own status (or read, where the variant
// is allowed), without reading past the input.
TEST(HostileHeaders, EachGetsItsStatus)
{
    const std::vector<Component> five{{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}, {5, 0x11, 0}};
    const std::vector<Component> four(five.begin(), five.end() - 1);
    const auto scan = [](uint8_t sof, uint8_t precision, const std::vector<Component>& frame,
                         const std::vector<ScanComponent>& components, uint8_t ss, uint8_t se, uint8_t approximation) {
        Bytes out{0xFF, 0xD8};
        Quant(out);
        LumaDc(out);
        SmallAc(out);
        Frame(out, sof, precision, 8, 8, frame);
        Scan(out, components, ss, se, approximation);
        return out;
    };
    const auto with_dc = [](std::vector<uint8_t> counts, const Bytes& values) {
        counts.resize(16);
        Bytes table;
        HuffmanTable(table, 0x00, counts.data(), values);
        return Stream(0xC0, 8, 8, 8, kGrey, table);
    };
    const auto prefixed = [](const Bytes& head, const Bytes& rest) {
        Bytes out{0xFF, 0xD8};
        out.insert(out.end(), head.begin(), head.end());
        out.insert(out.end(), rest.begin(), rest.end());
        return out;
    };
    const auto dri = [](uint16_t interval) {
        Bytes out;
        Segment(out, 0xDD, Bytes{static_cast<uint8_t>(interval >> 8), static_cast<uint8_t>(interval)});
        return out;
    };
    Bytes dnl_zero = Stream(0xC0, 8, 0, 8, kGrey);
    dnl_zero.insert(dnl_zero.end() - 2, {0xFF, 0xDC, 0x00, 0x04, 0x00, 0x00});
    Bytes short_values{0xFF, 0xC4, 0x00, 0x13, 0x00, 0, 1};   // counts promise a symbol the segment lacks
    short_values.resize(short_values.size() + 14, 0);
    const uint8_t one_code[16] = {0, 1};
    Bytes bad_class;
    HuffmanTable(bad_class, 0x20, one_code, Bytes{0});
    Bytes skipped;   // TEM, reserved and JPGn markers are passed over with a warning
    Marker(skipped, 0x01);
    Segment(skipped, 0x30, Bytes{1, 2, 3});
    Segment(skipped, 0xF3, Bytes{4});
    const Bytes grey = Stream(0xC0, 8, 8, 8, kGrey);
    Bytes seventeen;
    for (uint8_t v = 0; v < 17; ++v) {
        seventeen.push_back(v);
    }
    struct Case {
        const char* what;
        Bytes bytes;
        jpeg_status status;
    };
    const Case cases[] = {
        {"no SOI", {0xFF, 0xE0, 0x00, 0x02}, JPEG_ERR_NO_SOI},
        {"SOI late", {0x00, 0xFF, 0xD8}, JPEG_ERR_NO_SOI},
        {"empty", {}, JPEG_ERR_END_OF_INPUT},
        {"SOI only", {0xFF, 0xD8}, JPEG_ERR_END_OF_INPUT},
        {"RST0 outside a scan", {0xFF, 0xD8, 0xFF, 0xD0}, JPEG_ERR_PRECISION},
        {"RST7 outside a scan", {0xFF, 0xD8, 0xFF, 0xD7}, JPEG_ERR_PRECISION},
        {"second SOI", {0xFF, 0xD8, 0xFF, 0xD8}, JPEG_ERR_PRECISION},
        {"JPG", {0xFF, 0xD8, 0xFF, 0xC8, 0, 4, 0, 0}, JPEG_ERR_UNSUPPORTED},
        {"DAC", {0xFF, 0xD8, 0xFF, 0xCC, 0, 4, 0, 0}, JPEG_ERR_UNSUPPORTED},
        {"EXP", {0xFF, 0xD8, 0xFF, 0xDF, 0, 4, 0, 0}, JPEG_ERR_UNSUPPORTED},
        {"DHP", {0xFF, 0xD8, 0xFF, 0xDE, 0, 4, 0, 0}, JPEG_ERR_UNSUPPORTED},
        {"skipped markers", prefixed(skipped, Bytes(grey.begin() + 2, grey.end())), JPEG_WARN_SKIPPED_MARKER},
        // A skipped segment whose length is below 2 is a syntax error, never a step backwards.
        {"length 1", {0xFF, 0xD8, 0xFF, 0x30, 0, 1}, JPEG_ERR_SYNTAX},
        {"length 0", {0xFF, 0xD8, 0xFF, 0xF0, 0, 0}, JPEG_ERR_SYNTAX},
        // Input that ends inside a length is told apart from a large length.
        {"cut in a length", {0xFF, 0xD8, 0xFF, 0xE2, 0xFF}, JPEG_ERR_END_OF_INPUT},
        {"cut in a segment", {0xFF, 0xD8, 0xFF, 0xE2, 0xFF, 0xFF, 1, 2}, JPEG_ERR_END_OF_INPUT},
        {"DNL of 0 lines", dnl_zero, JPEG_ERR_SYNTAX},
        {"no lines and no DNL", Stream(0xC0, 8, 0, 8, kGrey), JPEG_ERR_SYNTAX},
        {"DC symbol 17", with_dc({0, 1}, Bytes{17}), JPEG_ERR_UNSUPPORTED},
        {"DC symbol 16", with_dc({0, 1}, Bytes{16}), JPEG_OK},
        {"17 DC symbols", with_dc({0, 0, 0, 0, 0, 17}, seventeen), JPEG_OK},
        {"18 DC symbols", with_dc({0, 0, 0, 0, 0, 18}, Bytes(18, 0)), JPEG_ERR_PARAMETER},
        {"three codes of length 1", with_dc({3}, Bytes{0, 1, 2}), JPEG_ERR_PARAMETER},
        {"table class 2", Stream(0xC0, 8, 8, 8, kGrey, bad_class), JPEG_ERR_SYNTAX},
        {"values missing", Stream(0xC0, 8, 8, 8, kGrey, short_values), JPEG_ERR_SYNTAX},
        {"baseline 12 bits", Stream(0xC0, 12, 8, 8, kGrey), JPEG_ERR_PRECISION},
        {"progressive 12 bits", Stream(0xC2, 12, 8, 8, kGrey), JPEG_OK},
        {"progressive 10 bits", Stream(0xC2, 10, 8, 8, kGrey), JPEG_ERR_PRECISION},
        {"lossless 1 bit", Stream(0xC3, 1, 8, 8, kGrey, {}, 1, 0, 0), JPEG_ERR_PRECISION},
        {"lossless 17 bits", Stream(0xC3, 17, 8, 8, kGrey, {}, 1, 0, 0), JPEG_ERR_PRECISION},
        {"five components", Stream(0xC0, 8, 8, 8, five), JPEG_ERR_UNSUPPORTED},
        {"sampling 1 x 0", Stream(0xC0, 8, 8, 8, {{1, 0x10, 0}}), JPEG_ERR_SYNTAX},
        // A lossless restart interval covers whole lines; without a width there is nothing to divide.
        {"lossless interval 5 of 8", Stream(0xC3, 8, 8, 8, kGrey, dri(5), 1, 0, 0), JPEG_ERR_SYNTAX},
        {"lossless interval 16 of 8", Stream(0xC3, 8, 8, 8, kGrey, dri(16), 1, 0, 0), JPEG_OK},
        {"lossless interval, width 0", Stream(0xC3, 8, 8, 0, kGrey, dri(5), 1, 0, 0), JPEG_OK},
        {"four selectors", scan(0xC2, 8, four, {{1, 0}, {2, 0}, {3, 0}, {4, 0}}, 0, 0, 0), JPEG_OK},
        // Five selectors overrun the scan header's four places; more than the frame has; twice; none.
        {"five selectors", scan(0xC2, 8, four, {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {1, 0}}, 0, 0, 0), JPEG_ERR_SYNTAX},
        {"more than the frame", scan(0xC2, 8, kGrey, {{1, 0}, {1, 0}}, 0, 0, 0), JPEG_ERR_SYNTAX},
        {"one twice", scan(0xC2, 8, kThree, {{1, 0}, {1, 0}}, 0, 0, 0), JPEG_ERR_SYNTAX},
        {"three twice", scan(0xC0, 8, kThree, {{1, 0}, {3, 0}, {3, 0}}, 0, 63, 0), JPEG_ERR_SYNTAX},
        {"no selector", scan(0xC0, 8, kThree, {}, 0, 63, 0), JPEG_ERR_SYNTAX},
        {"unknown component", scan(0xC0, 8, kThree, {{9, 0}}, 0, 63, 0), JPEG_ERR_SYNTAX},
        {"AC band refining", scan(0xC2, 8, kThree, {{1, 0}}, 1, 5, 0x21), JPEG_OK},
        {"band backwards", scan(0xC2, 8, kThree, {{1, 0}}, 6, 5, 0), JPEG_ERR_SYNTAX},
        {"band past 63", scan(0xC2, 8, kThree, {{1, 0}}, 1, 64, 0), JPEG_ERR_SYNTAX},
        {"DC with AC", scan(0xC2, 8, kThree, {{1, 0}}, 0, 5, 0), JPEG_ERR_SYNTAX},
        {"AC of two components", scan(0xC2, 8, kThree, {{1, 0}, {2, 0}}, 1, 5, 0), JPEG_ERR_SYNTAX},
        {"Al 14", scan(0xC2, 8, kThree, {{1, 0}}, 0, 0, 0x0E), JPEG_ERR_SYNTAX},
        {"Al 13", scan(0xC2, 8, kThree, {{1, 0}}, 0, 0, 0x0D), JPEG_OK},
        {"predictor 7", scan(0xC3, 8, kGrey, {{1, 0}}, 7, 0, 0x07), JPEG_OK},
        {"predictor 0", scan(0xC3, 8, kGrey, {{1, 0}}, 0, 0, 0), JPEG_ERR_SYNTAX},
        {"predictor 8", scan(0xC3, 8, kGrey, {{1, 0}}, 8, 0, 0), JPEG_ERR_SYNTAX},
        {"point transform 8 of 8 bits", scan(0xC3, 8, kGrey, {{1, 0}}, 1, 0, 0x08), JPEG_ERR_SYNTAX},
        {"point transform 11 of 12 bits", scan(0xC3, 12, kGrey, {{1, 0}}, 1, 0, 0x0B), JPEG_OK},
        {"no DC table 1", scan(0xC0, 8, kGrey, {{1, 0x10}}, 0, 63, 0), JPEG_ERR_SYNTAX},
        {"no AC table 1", scan(0xC2, 8, kThree, {{1, 0x01}}, 1, 5, 0), JPEG_ERR_SYNTAX},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Read(c.bytes).status, c.status) << c.what;
    }
}

TEST(StreamStart, TablesOnlyStreamReadsWithoutColour)
{
    Bytes bytes;
    Marker(bytes, 0xD8);
    Quant(bytes);
    LumaDc(bytes);
    Marker(bytes, 0xD9);
    jpeg_decoder* decoder = nullptr;
    EXPECT_EQ(Markers(bytes, &decoder), JPEG_OK);
    EXPECT_EQ(decoder->image_color, 0);
    EXPECT_EQ(decoder->last_marker, 0xD9);
    EXPECT_EQ(decoder->quant_count, 1);
    EXPECT_NE(decoder->dc_tables[0].counts, nullptr);
    jpeg_decoder_destroy(decoder);
}

TEST(StreamStart, GarbageBetweenSegmentsIsPassedOver)
{
    Bytes garbage{0x00, 0x13, 0xFF, 0x00, 0xFF, 0xFF, 0x00, 0x42};
    Bytes bytes = Stream(0xC0, 8, 16, 16, kGrey);
    bytes.insert(bytes.begin() + 2, garbage.begin(), garbage.end());
    Read read(bytes);
    EXPECT_EQ(read.status, JPEG_OK);
    EXPECT_EQ(jpeg_width(read.decoder), 16u);
}

TEST(Segments, ApplicationSegmentsAndDensities)
{
    Read jfif(Stream(0xC0, 8, 8, 8, kGrey, Jfif(2, 28, 28)));
    EXPECT_EQ(jfif.status, JPEG_OK);
    EXPECT_EQ(jpeg_resolution_x(jfif.decoder), 71u);
    EXPECT_EQ(jpeg_resolution_y(jfif.decoder), 71u);
    EXPECT_EQ(jpeg_image_color_code(jfif.decoder), JPEG_COLOR_GREY);
    ASSERT_EQ(jpeg_segment_count(jfif.decoder), 1u);
    EXPECT_EQ(jpeg_segment_at(jfif.decoder, 0)->marker, 0xE0u);
    EXPECT_EQ(jpeg_segment_at(jfif.decoder, 0)->length, 14u);
    EXPECT_EQ(jpeg_segment_at(jfif.decoder, 1), nullptr);

    Read inch(Stream(0xC0, 8, 8, 8, kGrey, Jfif(1, 300, 200)));
    EXPECT_EQ(jpeg_resolution_x(inch.decoder), 300u);
    EXPECT_EQ(jpeg_resolution_y(inch.decoder), 200u);
    // Aspect ratio only: no resolution, a warning that still counts as success.
    EXPECT_EQ(Read(Stream(0xC0, 8, 8, 8, kGrey, Jfif(0, 1, 1))).status, JPEG_WARN_NO_RESOLUTION);

    Read fax(Stream(0xC0, 8, 8, 8, kThree, App(0xE1, Bytes{'G', '3', 'F', 'A', 'X', 0, 0x07, 0xCA, 0x00, 0xC8})));
    EXPECT_EQ(fax.status, JPEG_OK);
    EXPECT_EQ(jpeg_resolution_x(fax.decoder), 200u);
    EXPECT_EQ(jpeg_image_color_code(fax.decoder), JPEG_COLOR_LAB_ITU);
    Read grey_fax(Stream(0xC0, 8, 8, 8, kGrey, App(0xE1, Bytes{'G', '3', 'F', 'A', 'X', 0, 0x07, 0xCA, 0, 0})));
    EXPECT_EQ(grey_fax.status, JPEG_WARN_NO_RESOLUTION);
    EXPECT_EQ(jpeg_image_color_code(grey_fax.decoder), JPEG_COLOR_LSTAR);
}

TEST(Segments, CommentsJoinAndStopAt64KiB)
{
    Bytes two;
    Segment(two, 0xFE, Bytes{'a'});
    Segment(two, 0xFE, Bytes{'b'});
    Read read(Stream(0xC0, 8, 8, 8, kGrey, two));
    ASSERT_NE(read.decoder->comment, nullptr);
    EXPECT_STREQ(read.decoder->comment, "a\nb");

    // Three segments of 30,000 bytes: the text stops at 65,535 bytes and the reading goes on.
    Bytes big;
    for (char fill : {'x', 'y', 'z'}) {
        Segment(big, 0xFE, Bytes(30000, static_cast<uint8_t>(fill)));
    }
    Read capped(Stream(0xC0, 8, 8, 8, kGrey, big));
    EXPECT_EQ(capped.status, JPEG_OK);
    const std::string text = capped.decoder->comment;
    ASSERT_EQ(text.size(), 65535u);
    EXPECT_EQ(text[30000], '\n');
    EXPECT_EQ(text[30001], 'y');
    EXPECT_EQ(text.back(), 'z');
    EXPECT_EQ(jpeg_width(capped.decoder), 8u);
}

TEST(Segments, AtMost128ApplicationSegmentsAreKept)
{
    Bytes many;
    for (int i = 0; i < 129; ++i) {
        Segment(many, static_cast<uint8_t>(0xE2 + i % 12), Bytes{static_cast<uint8_t>(i), 7});
    }
    Read read(Stream(0xC0, 8, 8, 8, kGrey, many));
    EXPECT_EQ(read.status, JPEG_OK);
    ASSERT_EQ(jpeg_segment_count(read.decoder), 128u);
    EXPECT_EQ(jpeg_segment_at(read.decoder, 127)->data[0], 127);
    EXPECT_EQ(jpeg_width(read.decoder), 8u);
}

TEST(Segments, SegmentsOf32KiBAndMoreReadWhole)
{
    // Lengths and sizes above 32767 are plain 16-bit values (ICC profiles, Exif).
    Bytes icc(40000, 0x5A);
    Read read(Stream(0xC0, 8, 65535, 65535, kGrey, App(0xE2, icc)));
    EXPECT_EQ(read.status, JPEG_OK);
    ASSERT_EQ(jpeg_segment_count(read.decoder), 1u);
    EXPECT_EQ(jpeg_segment_at(read.decoder, 0)->length, 40000u);
    EXPECT_EQ(jpeg_width(read.decoder), 65535u);
    EXPECT_EQ(jpeg_height(read.decoder), 65535u);

    Bytes dri;
    Segment(dri, 0xDD, Bytes{0xFF, 0xFF});
    Read interval(Stream(0xC0, 8, 8, 8, kGrey, dri));
    EXPECT_EQ(interval.status, JPEG_OK);
    EXPECT_EQ(interval.decoder->restart_interval, 65535u);
}

TEST(Segments, NumberOfLinesFromDnl)
{
    Bytes bytes = Stream(0xC0, 8, 0, 8, kGrey);
    const Bytes dnl{0xFF, 0xDC, 0x00, 0x04, 0x00, 0x2A};
    bytes.insert(bytes.end() - 2, dnl.begin(), dnl.end());
    Read read(bytes);
    EXPECT_EQ(read.status, JPEG_OK);
    EXPECT_EQ(jpeg_height(read.decoder), 42u);
    EXPECT_EQ(read.decoder->frame.lines, 0);
}

TEST(Segments, ColourCodesSettledAtTheFirstScan)
{
    jpeg_decoder* decoder = nullptr;
    TestHeap heap;
    EXPECT_EQ(Markers(Stream(0xC0, 8, 8, 8, kGrey, Jfif(1, 72, 72)), &decoder, &heap), JPEG_OK);
    EXPECT_EQ(decoder->image_color, JPEG_COLOR_GREY);
    jpeg_decoder_destroy(decoder);

    const Bytes three = Stream(0xC0, 8, 8, 8, kThree);
    EXPECT_EQ(Markers(three, &decoder, &heap), JPEG_OK);
    EXPECT_EQ(decoder->image_color, JPEG_COLOR_NONE);
    jpeg_decoder_destroy(decoder);
    Read read(three);
    EXPECT_EQ(jpeg_image_color_code(read.decoder), JPEG_COLOR_YCBCR);
    EXPECT_EQ(jpeg_output_color_code(read.decoder), JPEG_COLOR_YCBCR);
    EXPECT_EQ(heap.live, 0);
}

TEST(Segments, QuantisationTables)
{
    Read read(Stream(0xC0, 8, 8, 8, kGrey));
    ASSERT_EQ(read.decoder->quant_count, 1);
    const uint8_t* natural = GetNaturalOrderTable();
    for (int i = 0; i < 64; ++i) {
        EXPECT_EQ(read.decoder->quant_tables[0].values[natural[i]], kLumaQuantZigzag[i]);
    }
    EXPECT_EQ(read.decoder->quant_tables[0].values[8], 12u);   // zigzag index 2 is row 1, column 0

    // A 16-bit table: nothing stored, the rest of the segment skipped, the decode start refuses it.
    Bytes wide{0xFF, 0xDB};
    Put16(wide, 2 + 129);
    wide.push_back(0x10);
    wide.insert(wide.end(), 128, 1);
    Bytes bytes{0xFF, 0xD8};
    bytes.insert(bytes.end(), wide.begin(), wide.end());
    LumaDc(bytes);
    Frame(bytes, 0xC0, 8, 8, 8, kGrey);
    Scan(bytes, {{1, 0}}, 0, 63, 0);
    Read sixteen(bytes);
    EXPECT_EQ(sixteen.status, JPEG_OK);
    EXPECT_EQ(sixteen.decoder->quant_count, 0);
    EXPECT_EQ(sixteen.decoder->quant_precision, 1u);
    EXPECT_EQ(jpeg_setup_quant_tables(sixteen.decoder), JPEG_ERR_UNSUPPORTED);
}

TEST(Frame, PrecisionAndSampling)
{
    Read twelve(Stream(0xC3, 12, 8, 8, kGrey, {}, 1, 0, 0));
    EXPECT_EQ(twelve.status, JPEG_OK);
    EXPECT_EQ(jpeg_precision(twelve.decoder), 16);
    EXPECT_TRUE(jpeg_is_lossless(twelve.decoder));
    Read eight(Stream(0xC0, 8, 8, 8, kGrey));
    EXPECT_EQ(jpeg_precision(eight.decoder), 8);
    EXPECT_EQ(jpeg_sampling_code(eight.decoder), 0x111111u);
    Read three(Stream(0xC2, 8, 8, 8, kThree));
    EXPECT_TRUE(jpeg_is_progressive(three.decoder));
    EXPECT_EQ(jpeg_sampling_code(three.decoder), 0x221111u);
    EXPECT_EQ(three.decoder->ratio_h[1], 2);
    EXPECT_EQ(three.decoder->frame_h[1], 1);
}

TEST(Header, ColourRequestsAndComponentCounts)
{
    const std::vector<Component> two{{1, 0x11, 0}, {2, 0x11, 0}};
    Read pair(Stream(0xC0, 8, 8, 8, two));
    EXPECT_EQ(pair.status, JPEG_ERR_PRECISION);
    EXPECT_EQ(pair.decoder->state, 1);

    EXPECT_EQ(jpeg_image_color_code(Read(Stream(0xC0, 8, 8, 8, kGrey), JPEG_COLOR_LAB_ITU).decoder), JPEG_COLOR_LSTAR);
    EXPECT_EQ(jpeg_image_color_code(Read(Stream(0xC0, 8, 8, 8, kGrey), JPEG_COLOR_LAB_ICC).decoder), JPEG_COLOR_LSTAR);
    EXPECT_EQ(jpeg_output_color_code(Read(Stream(0xC0, 8, 8, 8, kGrey), JPEG_COLOR_RGB).decoder), JPEG_COLOR_GREY);
    const std::vector<Component> lossless3{{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}};
    EXPECT_EQ(jpeg_image_color_code(Read(Stream(0xC3, 8, 8, 8, lossless3, {}, 1, 0, 0)).decoder), JPEG_COLOR_RGB);
    EXPECT_EQ(jpeg_image_color_code(Read(Stream(0xC0, 8, 8, 8, lossless3)).decoder), JPEG_COLOR_YCBCR);
    EXPECT_EQ(jpeg_image_color_code(Read(Stream(0xC0, 8, 8, 8, lossless3), JPEG_COLOR_RGB).decoder), JPEG_COLOR_RGB);
    const std::vector<Component> four{{1, 0x11, 0}, {2, 0x11, 0}, {3, 0x11, 0}, {4, 0x11, 0}};
    Read cmyk(Stream(0xC0, 8, 8, 8, four), JPEG_COLOR_RGB);
    EXPECT_EQ(jpeg_image_color_code(cmyk.decoder), JPEG_COLOR_CMYK);
    EXPECT_EQ(cmyk.decoder->output_components, 4);

    Read luma(Stream(0xC0, 8, 8, 8, lossless3));
    EXPECT_EQ(jpeg_set_luminance_only(luma.decoder, 1), JPEG_OK);
    EXPECT_EQ(jpeg_output_color_code(luma.decoder), JPEG_COLOR_GREY);
    EXPECT_EQ(luma.decoder->output_components, 1);
    jpeg_set_luminance_only(luma.decoder, 0);
    EXPECT_EQ(jpeg_output_color_code(luma.decoder), JPEG_COLOR_YCBCR);
    EXPECT_EQ(luma.decoder->output_components, 3);
}

TEST(Header, OptionsAndLifeCycle)
{
    Read read(Stream(0xC0, 8, 8, 8, kGrey));
    EXPECT_EQ(read.decoder->state, 1);
    for (uint32_t bad : {3u, 0u, 16u}) {
        EXPECT_EQ(jpeg_set_scale(read.decoder, bad), JPEG_ERR_PARAMETER);
        EXPECT_EQ(read.decoder->scale_denominator, 1u);
    }
    EXPECT_EQ(jpeg_set_scale(read.decoder, 4), JPEG_OK);
    EXPECT_EQ(jpeg_set_scale(read.decoder, 5), JPEG_ERR_PARAMETER);
    EXPECT_EQ(read.decoder->scale_denominator, 4u);
    EXPECT_EQ(jpeg_set_line_count(read.decoder, 3), JPEG_OK);
    EXPECT_EQ(read.decoder->lines_to_output, 3u);
    EXPECT_EQ(jpeg_read_header(read.decoder, JPEG_COLOR_NONE, 100, nullptr), JPEG_ERR_STATE);
    EXPECT_EQ(jpeg_decoder_destroy(nullptr), JPEG_OK);

    jpeg_status status = 0;
    EXPECT_EQ(jpeg_decoder_open(nullptr, nullptr, nullptr, &status), nullptr);
    EXPECT_EQ(status, JPEG_ERR_PARAMETER);
    TestHeap refusing;
    refusing.refuse_at = 0;
    jpeg_source source{&jpeg_mem_get_byte, &jpeg_mem_read, &jpeg_mem_tell, &jpeg_mem_seek, nullptr};
    EXPECT_EQ(jpeg_decoder_open(&source, &kTestAllocator, &refusing, &status), nullptr);
    EXPECT_EQ(status, JPEG_ERR_MEMORY);
}

namespace {

// A caller's own source: the callbacks receive the allocator's user data.
struct CallerBytes {
    TestHeap heap;
    const Bytes* bytes;
    size_t position = 0;
};

int32_t CallerByte(void* user)
{
    auto* self = static_cast<CallerBytes*>(user);
    return self->position < self->bytes->size() ? (*self->bytes)[self->position++] : -1;
}
int32_t CallerRead(void* user, uint8_t* buffer, uint32_t count)
{
    auto* self = static_cast<CallerBytes*>(user);
    const size_t n = std::min<size_t>(count, self->bytes->size() - self->position);
    std::memcpy(buffer, self->bytes->data() + self->position, n);
    self->position += n;
    return n != 0 ? static_cast<int32_t>(n) : -1;
}
int64_t CallerTell(void* user)
{
    return static_cast<int64_t>(static_cast<CallerBytes*>(user)->position);
}
int64_t CallerSeek(void* user, int64_t position)
{
    auto* self = static_cast<CallerBytes*>(user);
    self->position = std::min<size_t>(static_cast<size_t>(position), self->bytes->size());
    return static_cast<int64_t>(self->position);
}

}   // namespace

TEST(Header, CallerSourceAndStreamBudget)
{
    Bytes bytes = Stream(0xC0, 8, 8, 8, kGrey, App(0xE3, Bytes(100, 1)));
    bytes.insert(bytes.begin(), {0xAA, 0xBB});   // the stream starts after two bytes of something else
    CallerBytes caller;
    caller.bytes = &bytes;
    caller.position = 2;
    const jpeg_source source{&CallerByte, &CallerRead, &CallerTell, &CallerSeek, nullptr};
    jpeg_status status = 0;
    jpeg_decoder* decoder = jpeg_decoder_open(&source, &kTestAllocator, &caller, &status);
    ASSERT_NE(decoder, nullptr);
    EXPECT_EQ(jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(bytes.size() - 2), nullptr), JPEG_OK);
    EXPECT_EQ(decoder->header_start, 2);
    // What the header took is off the budget; the rest (two data bytes and EOI) is the scan's.
    EXPECT_EQ(decoder->bytes_left, 4u);
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(caller.heap.live, 0);
}

TEST(Scan, TableSlotsAreCheckedOnlyWithTheHeaderRead)
{
    Bytes out{0xFF, 0xD8};
    Quant(out);
    LumaDc(out, 1);   // slot 0 is made room for, never defined
    Frame(out, 0xC0, 8, 8, 8, kGrey);
    Scan(out, {{1, 0x00}}, 0, 63, 0);
    EXPECT_EQ(Read(out).status, JPEG_ERR_SYNTAX);
    jpeg_decoder* decoder = nullptr;
    TestHeap heap;
    EXPECT_EQ(Markers(out, &decoder, &heap), JPEG_OK);   // without the header-read flag tables are not checked
    EXPECT_EQ(jpeg_check_scan_tables(decoder), JPEG_ERR_SYNTAX);
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(heap.live, 0);
}

TEST(Scan, SeparateScansAndDecodeModeReaders)
{
    // A baseline three-component frame whose components come one scan each.
    Bytes out{0xFF, 0xD8};
    Quant(out);
    LumaDc(out);
    SmallAc(out);
    Frame(out, 0xC0, 8, 16, 16, kThree);
    Scan(out, {{1, 0}}, 0, 63, 0);
    out.insert(out.end(), {0x11, 0xFF, 0x00, 0x22, 0xFF, 0xD0, 0x33});
    HuffmanTable(out, 0x01, kLumaDcCounts, Bytes(kLumaDcValues, kLumaDcValues + 12));
    Scan(out, {{2, 0x10}}, 0, 63, 0);
    out.insert(out.end(), {0x44});
    Scan(out, {{3, 0x00}}, 0, 63, 0);
    out.insert(out.end(), {0x55});
    Scan(out, {{1, 0x00}}, 0, 63, 0);
    out.insert(out.end(), {0x66, 0xFF, 0xD9});

    Read read(out);
    ASSERT_EQ(read.status, JPEG_OK);
    jpeg_decoder* decoder = read.decoder;
    EXPECT_TRUE(jpeg_is_separate_scan(decoder));
    ASSERT_EQ(decoder->scan_set->count, 1u);
    EXPECT_EQ(decoder->scan_set->first_selectors[0], 1u);

    ASSERT_EQ(jpeg_input_buffer_create(decoder), JPEG_OK);
    EXPECT_EQ(jpeg_skip_restart_markers(decoder, 1), JPEG_OK);   // FF 00 is data; FF D0 the restart
    EXPECT_EQ(decoder->end_of_scan_marker, 0xD0);
    EXPECT_EQ(jpeg_next_scan(decoder), JPEG_OK);   // reads the DHT on the way
    EXPECT_EQ(decoder->dc_count, 2);
    EXPECT_EQ(decoder->tables_changed, 1u);
    EXPECT_EQ(decoder->scan_set->first_selectors[1], 2u);
    EXPECT_EQ(jpeg_next_scan(decoder), JPEG_OK);
    EXPECT_EQ(decoder->scan_set->count, 3u);
    EXPECT_EQ(jpeg_next_scan(decoder), JPEG_ERR_SYNTAX);              // every place of the set is used
    EXPECT_EQ(jpeg_read_scan_end_marker(decoder), JPEG_ERR_SYNTAX);   // 0x66 is not a marker
    EXPECT_EQ(jpeg_find_marker(decoder), 0xD9);
    EXPECT_EQ(jpeg_find_marker(decoder), JPEG_ERR_END_OF_INPUT);
    EXPECT_EQ(decoder->end_of_data, -1);
    // Skips are impossible in decode mode.
    EXPECT_EQ(jpeg_skip_segment(decoder), JPEG_ERR_END_OF_INPUT);

    // The pending marker left by the entropy decoder comes first.
    decoder->pending_marker = 0xD3;
    EXPECT_EQ(jpeg_read_scan_end_marker(decoder), JPEG_OK);
    EXPECT_EQ(decoder->end_of_scan_marker, 0xD3);
}

TEST(Scan, RestartMarkerRoutines)
{
    auto reader = [](const Bytes& data, TestHeap* heap) {
        jpeg_decoder* decoder = OpenBytes(data, heap);
        decoder->bytes_left = static_cast<uint32_t>(data.size());
        jpeg_input_buffer_create(decoder);
        return decoder;
    };
    TestHeap heap;
    const Bytes dnl{0x01, 0xFF, 0xDC, 0x00, 0x04, 0x00, 0x09, 0xFF, 0xD1};
    jpeg_decoder* decoder = reader(dnl, &heap);
    EXPECT_EQ(jpeg_skip_restart_markers(decoder, 1), JPEG_ERR_DATA);
    EXPECT_EQ(decoder->height, 9);
    jpeg_decoder_destroy(decoder);

    const Bytes eoi{0xFF, 0xD9};
    decoder = reader(eoi, &heap);
    EXPECT_EQ(jpeg_skip_restart_markers(decoder, 1), JPEG_ERR_DATA);
    jpeg_decoder_destroy(decoder);

    const Bytes ends{0xFF, 0xFF, 0xD7, 0x00, 0xFF, 0xD0, 0xFF, 0xDC, 0x00, 0x04, 0x00, 0x07, 0xFF, 0xD9};
    decoder = reader(ends, &heap);
    EXPECT_EQ(jpeg_read_scan_end_marker(decoder), JPEG_OK);
    EXPECT_EQ(decoder->end_of_scan_marker, 0xD7);
    EXPECT_EQ(jpeg_read_scan_end_marker(decoder), JPEG_ERR_SYNTAX);   // 0x00 where a marker must be
    EXPECT_EQ(jpeg_skip_restart_markers(decoder, 1), JPEG_OK);
    EXPECT_EQ(jpeg_read_scan_end_marker(decoder), JPEG_OK);   // DNL
    EXPECT_EQ(decoder->height, 7);
    EXPECT_EQ(jpeg_read_scan_end_marker(decoder), JPEG_OK);
    EXPECT_EQ(decoder->end_of_scan_marker, 0xD9);
    jpeg_decoder_destroy(decoder);

    // The stream budget bounds what decode mode reads.
    const Bytes budget{0x00, 0x00, 0xFF, 0xD2};
    decoder = reader(budget, &heap);
    decoder->bytes_left = 2;
    EXPECT_EQ(jpeg_find_marker(decoder), JPEG_ERR_END_OF_INPUT);
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(heap.live, 0);
}

TEST(Tables, BorrowedTablesStayTheDonors)
{
    const Bytes full = Stream(0xC0, 8, 8, 8, kGrey);
    Bytes abbreviated{0xFF, 0xD8};
    Frame(abbreviated, 0xC0, 8, 8, 8, kGrey);
    Scan(abbreviated, {{1, 0}}, 0, 63, 0);
    Bytes redefining{0xFF, 0xD8};
    HuffmanTable(redefining, 0x02, kLumaDcCounts, Bytes(kLumaDcValues, kLumaDcValues + 12));
    Quant(redefining, 0, 3);
    Frame(redefining, 0xC0, 8, 8, 8, kGrey);
    Scan(redefining, {{1, 0}}, 0, 63, 0);

    TestHeap heap;
    jpeg_decoder* donor = OpenBytes(full, &heap);
    ASSERT_EQ(jpeg_read_header(donor, JPEG_COLOR_NONE, static_cast<uint32_t>(full.size()), nullptr), JPEG_OK);
    for (const Bytes* stream : {&abbreviated, &redefining}) {
        jpeg_decoder* borrower = OpenBytes(*stream, &heap);
        EXPECT_EQ(jpeg_read_header(borrower, JPEG_COLOR_NONE, static_cast<uint32_t>(stream->size()), donor), JPEG_OK);
        EXPECT_EQ(jpeg_rebuild_lookaheads(borrower, 8), JPEG_OK);
        EXPECT_EQ(jpeg_setup_quant_tables(borrower), JPEG_OK);
        jpeg_decoder_destroy(borrower);
    }
    // The donor's tables are whole: still its own values, still usable.
    EXPECT_EQ(donor->dc_count, 1);
    EXPECT_EQ(donor->dc_tables[0].counts[1], 1);
    EXPECT_EQ(donor->quant_tables[0].values[0], 16u);
    EXPECT_EQ(jpeg_rebuild_lookaheads(donor, 8), JPEG_OK);
    EXPECT_EQ(donor->dc_tables[0].lookahead[0].length, 2);
    jpeg_decoder_destroy(donor);
    EXPECT_EQ(heap.live, 0);
}

TEST(Memory, EveryRefusedAllocationOfAHeaderRead)
{
    Bytes before = Jfif(1, 96, 96);
    const Bytes icc = App(0xE2, Bytes(300, 9));
    before.insert(before.end(), icc.begin(), icc.end());
    Segment(before, 0xFE, Bytes{'h', 'i'});
    Segment(before, 0xFE, Bytes{'!'});
    SmallAc(before, 1);
    Quant(before, 1);
    // A three-component frame with a scan of one component makes a separate-scan set too.
    Bytes bytes = Stream(0xC0, 8, 16, 16, kThree, before);
    Bytes one_scan{0xFF, 0xD8};
    one_scan.insert(one_scan.end(), before.begin(), before.end());
    Quant(one_scan);
    LumaDc(one_scan);
    Frame(one_scan, 0xC0, 8, 16, 16, kThree);
    Scan(one_scan, {{1, 0}}, 0, 63, 0);

    // A caller's source, so that application segments are copied.
    for (const Bytes* stream : {&bytes, &one_scan}) {
        int refused = 0;
        for (int32_t n = 0;; ++n) {
            CallerBytes caller;
            caller.bytes = stream;
            TestHeap& heap = caller.heap;
            heap.refuse_at = n;
            const jpeg_source source{&CallerByte, &CallerRead, &CallerTell, &CallerSeek, nullptr};
            jpeg_decoder* decoder = jpeg_decoder_open(&source, &kTestAllocator, &caller, nullptr);
            if (decoder != nullptr) {
                const jpeg_status status =
                    jpeg_read_header(decoder, JPEG_COLOR_NONE, static_cast<uint32_t>(stream->size()), nullptr);
                if (heap.refused) {
                    // A refused copy of an application segment is skipped; everything else fails.
                    const bool app_missing = jpeg_segment_count(decoder) < 2;
                    EXPECT_EQ(status, app_missing ? JPEG_OK : JPEG_ERR_MEMORY) << "allocation " << n;
                    if (app_missing) {
                        EXPECT_EQ(jpeg_width(decoder), 16u);
                    }
                } else {
                    EXPECT_EQ(status, JPEG_OK);
                }
                jpeg_decoder_destroy(decoder);
            }
            EXPECT_EQ(heap.live, 0) << "allocation " << n;
            if (!heap.refused) {
                break;
            }
            ++refused;
        }
        EXPECT_GT(refused, 10);
    }
}

TEST(Memory, SizesAreComputedIn64Bits)
{
    TestHeap heap;
    jpeg_decoder* decoder = jpeg_decoder_create(&kTestAllocator, &heap);
    const int32_t calls = heap.calls;
    // 65536 x 65536 wraps to 0 in 32 bits; the allocator is not even asked.
    EXPECT_EQ(jpeg_calloc(decoder, 0x10000, 0x10000), nullptr);
    EXPECT_EQ(jpeg_malloc(decoder, 0x100000000ull), nullptr);
    EXPECT_EQ(heap.calls, calls);
    void* small = jpeg_calloc(decoder, 3, 5);
    ASSERT_NE(small, nullptr);
    EXPECT_EQ(static_cast<uint8_t*>(small)[14], 0);
    jpeg_free(decoder, small);
    jpeg_free(decoder, nullptr);
    jpeg_decoder_destroy(decoder);
    EXPECT_EQ(heap.live, 0);
}
