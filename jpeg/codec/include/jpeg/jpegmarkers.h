#pragma once

// Marker segments of a JPEG stream read into the decoder record. Before decoding, bytes come
// straight from the source callbacks (header mode); once the entropy stage has made its input
// buffer they come through that buffer (decode mode), where nothing can be skipped.

#include "jpeg/jpegdecoder.h"

// Reads from SOI up to and including the first SOS: 1, a warning (14, 100) or a failure.
jpeg_status jpeg_read_markers(jpeg_decoder* decoder);
// A marker that must follow at once: its code, or a failure.
jpeg_status jpeg_next_marker(jpeg_decoder* decoder);
// The next marker after any bytes (FF 00 is data): its code, or -11 at the end.
jpeg_status jpeg_find_marker(jpeg_decoder* decoder);

jpeg_status jpeg_read_sof(jpeg_decoder* decoder);
jpeg_status jpeg_read_dht(jpeg_decoder* decoder);
jpeg_status jpeg_read_dqt(jpeg_decoder* decoder);
jpeg_status jpeg_read_dri(jpeg_decoder* decoder);
jpeg_status jpeg_read_dnl(jpeg_decoder* decoder);
jpeg_status jpeg_read_app(jpeg_decoder* decoder, uint32_t marker);
jpeg_status jpeg_read_com(jpeg_decoder* decoder);
jpeg_status jpeg_read_sos(jpeg_decoder* decoder);
jpeg_status jpeg_find_dnl_ahead(jpeg_decoder* decoder);
jpeg_status jpeg_parse_jfif(jpeg_decoder* decoder, const uint8_t* data, uint32_t size);
jpeg_status jpeg_parse_g3fax(jpeg_decoder* decoder, const uint8_t* data, uint32_t size);
jpeg_status jpeg_skip_segment(jpeg_decoder* decoder);

// Between scans: the next SOS (reading DHT on the way) and its header.
jpeg_status jpeg_next_scan(jpeg_decoder* decoder);
// At the end of an entropy-coded segment: the RSTn or EOI there (DNL read on the way).
jpeg_status jpeg_read_scan_end_marker(jpeg_decoder* decoder);
// Finds n restart markers; DNL or EOI on the way gives -3.
jpeg_status jpeg_skip_restart_markers(jpeg_decoder* decoder, int32_t n);

// Decode mode: the 8 KiB input buffer, fed from the stream budget (bytes left).
jpeg_status jpeg_input_buffer_create(jpeg_decoder* decoder);
// The next byte of the input buffer, refilled from the budget; -1 (and end of data set) when spent.
int32_t jpeg_input_byte(jpeg_decoder* decoder);

jpeg_status jpeg_create_scan_set(jpeg_decoder* decoder);
void jpeg_destroy_scan_set(jpeg_decoder* owner, jpeg_scan_set* set);
