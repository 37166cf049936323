#include "jpegpeer.h"

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <turbojpeg.h>

std::vector<uint8_t> PeerEncodeBaseline(const PeerOptions& o, const std::vector<uint8_t>& pixels)
{
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(o.width);
    cinfo.image_height = static_cast<JDIMENSION>(o.height);
    cinfo.input_components = o.components;
    cinfo.in_color_space = o.components == 1   ? JCS_GRAYSCALE
                           : o.components == 3 ? JCS_RGB
                           : o.components == 4 ? JCS_CMYK
                                               : JCS_UNKNOWN;
    jpeg_set_defaults(&cinfo);
    if (o.components == 3 && o.rgb) {
        jpeg_set_colorspace(&cinfo, JCS_RGB);
    }
    if (o.components == 2) {
        jpeg_set_colorspace(&cinfo, JCS_UNKNOWN);
    }
    jpeg_set_quality(&cinfo, o.quality, TRUE);
    for (int c = 0; c < o.components && c < 3; ++c) {
        cinfo.comp_info[c].h_samp_factor = o.components == 1 ? 1 : o.sampling[c] >> 4;
        cinfo.comp_info[c].v_samp_factor = o.components == 1 ? 1 : o.sampling[c] & 15;
    }
    cinfo.restart_interval = static_cast<unsigned int>(o.restart_mcus);
    cinfo.optimize_coding = o.optimize ? TRUE : FALSE;
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(pixels.data()) +
                       static_cast<size_t>(cinfo.next_scanline) * o.width * o.components;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}

std::vector<uint8_t> PeerDecode(const std::vector<uint8_t>& bytes)
{
    std::vector<uint8_t> out;
    PeerDecodeInto(bytes, out);
    return out;
}

void PeerDecodeInto(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = cinfo.jpeg_color_space;
    cinfo.dct_method = JDCT_ISLOW;
    cinfo.do_fancy_upsampling = FALSE;
    jpeg_start_decompress(&cinfo);
    const size_t row = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    out.resize(row * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW at = out.data() + row * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &at, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

void* PeerTurboCreate()
{
    return tjInitDecompress();
}

void PeerTurboDestroy(void* handle)
{
    tjDestroy(static_cast<tjhandle>(handle));
}

void PeerDecodeTurbo(void* handle, const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, int width,
                     int height, int channels)
{
    out.resize(static_cast<size_t>(width) * height * channels);
    tjDecompress2(static_cast<tjhandle>(handle), stream.data(), static_cast<unsigned long>(stream.size()), out.data(),
                  width, 0, height, channels == 1 ? TJPF_GRAY : TJPF_RGB, TJFLAG_ACCURATEDCT);
}
