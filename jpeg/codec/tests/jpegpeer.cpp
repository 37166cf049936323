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
    // Spectral selection only: DC of all components, then AC bands per component.
    static jpeg_scan_info spectral[7];
    if (o.progression == 1) {
        jpeg_simple_progression(&cinfo);
    } else if (o.progression == 2) {
        int n = 0;
        spectral[n++] = jpeg_scan_info{o.components, {0, 1, 2, 3}, 0, 0, 0, 0};
        for (int c = 0; c < o.components && c < 3; ++c) {
            spectral[n++] = jpeg_scan_info{1, {c, 0, 0, 0}, 1, 5, 0, 0};
            if (c == 0) {
                spectral[n++] = jpeg_scan_info{1, {c, 0, 0, 0}, 6, 63, 0, 0};
            } else {
                spectral[n - 1].Se = 63;
            }
        }
        cinfo.scan_info = spectral;
        cinfo.num_scans = n;
    }
    static jpeg_scan_info separate[4];
    if (o.separate_scans != 0) {
        for (int i = 0; i < o.components; ++i) {
            const int c = o.separate_scans == 1 ? i : o.components - 1 - i;
            separate[i] = jpeg_scan_info{1, {c, 0, 0, 0}, 0, 63, 0, 0};
        }
        cinfo.scan_info = separate;
        cinfo.num_scans = o.components;
    }
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row =
            const_cast<uint8_t*>(pixels.data()) + static_cast<size_t>(cinfo.next_scanline) * o.width * o.components;
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

namespace {

// islow, samples as coded, chroma replicated, at 1/denominator.
void DecodeScaledInto(const std::vector<uint8_t>& stream, int denominator, std::vector<uint8_t>& out, int* width,
                      int* height)
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
    cinfo.do_block_smoothing = FALSE;
    cinfo.scale_num = 1;
    cinfo.scale_denom = static_cast<unsigned int>(denominator);
    jpeg_start_decompress(&cinfo);
    const size_t row = static_cast<size_t>(cinfo.output_width) * cinfo.output_components;
    out.resize(row * cinfo.output_height);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW at = out.data() + row * cinfo.output_scanline;
        jpeg_read_scanlines(&cinfo, &at, 1);
    }
    *width = static_cast<int>(cinfo.output_width);
    *height = static_cast<int>(cinfo.output_height);
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
}

}   // namespace

void PeerDecodeInto(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out)
{
    int width = 0;
    int height = 0;
    DecodeScaledInto(stream, 1, out, &width, &height);
}

std::vector<std::vector<int16_t>> PeerReadCoefficients(const std::vector<uint8_t>& stream)
{
    jpeg_decompress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, stream.data(), static_cast<unsigned long>(stream.size()));
    jpeg_read_header(&cinfo, TRUE);
    jvirt_barray_ptr* arrays = jpeg_read_coefficients(&cinfo);
    std::vector<std::vector<int16_t>> out(static_cast<size_t>(cinfo.num_components));
    for (int c = 0; c < cinfo.num_components; ++c) {
        const jpeg_component_info& info = cinfo.comp_info[c];
        for (JDIMENSION by = 0; by < info.height_in_blocks; ++by) {
            JBLOCKARRAY row =
                (*cinfo.mem->access_virt_barray)(reinterpret_cast<j_common_ptr>(&cinfo), arrays[c], by, 1, FALSE);
            for (JDIMENSION bx = 0; bx < info.width_in_blocks; ++bx) {
                out[c].insert(out[c].end(), row[0][bx], row[0][bx] + 64);
            }
        }
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return out;
}

std::vector<uint8_t> PeerDecodeScaled(const std::vector<uint8_t>& stream, int denominator, int* width, int* height)
{
    std::vector<uint8_t> out;
    DecodeScaledInto(stream, denominator, out, width, height);
    return out;
}

void* PeerTurboCreate()
{
    return tjInitDecompress();
}

void PeerTurboDestroy(void* handle)
{
    tjDestroy(static_cast<tjhandle>(handle));
}

void PeerDecodeTurbo(void* handle, const std::vector<uint8_t>& stream, std::vector<uint8_t>& out, int width, int height,
                     int channels)
{
    out.resize(static_cast<size_t>(width) * height * channels);
    tjDecompress2(static_cast<tjhandle>(handle), stream.data(), static_cast<unsigned long>(stream.size()), out.data(),
                  width, 0, height, channels == 1 ? TJPF_GRAY : TJPF_RGB, TJFLAG_ACCURATEDCT);
}
