#include "jpeg_decode_peer.h"

#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>
#include <turbojpeg.h>

std::vector<uint8_t> PeerEncodeBaseline(const std::vector<uint8_t>& pixels, int width, int height, int channels,
                                        int h0, int v0, int quality)
{
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &out, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = channels;
    cinfo.in_color_space = channels == 1 ? JCS_GRAYSCALE : JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (channels == 3) {
        cinfo.comp_info[0].h_samp_factor = h0;
        cinfo.comp_info[0].v_samp_factor = v0;
    }
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(pixels.data()) + static_cast<size_t>(cinfo.next_scanline) * width * channels;
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    std::vector<uint8_t> bytes(out, out + size);
    std::free(out);
    return bytes;
}

void PeerDecodeRows(const std::vector<uint8_t>& stream, std::vector<uint8_t>& out)
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
