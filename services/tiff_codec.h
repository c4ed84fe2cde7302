// tiff_codec: TIFF files over libtiff, for the imaging services.
//
// Both directions run over memory through TIFFClientOpen. Decoding reads the
// first directory, strips or tiles, through libtiff's RGBA image reader, top
// row first. Unassociated alpha comes through as stored (the reader's
// premultiplying table is made the identity), so a lossless file gives back
// every colour, even under A = 0; associated (premultiplied) alpha is divided
// back to straight alpha, and a fully transparent pixel of it has no colour
// left. The reader drops the alpha of 16-bit grey; in a file of strips it is
// read from the samples afterwards (tiles keep the reader's opaque pixels). Encoding writes 8-bit RGBA with the alpha as an unassociated extra
// sample, LZW with horizontal differencing. libtiff reports failures by
// return codes (all checked); its error and warning handlers are silenced.
#pragma once
#include <cstddef>
#include <cstdint>

#include "services/codec_buffers.h"

namespace kel::tiff_codec {

imaging::result decode(const uint8_t* data, size_t size, const imaging::pixel_target& target);
imaging::result encode(const uint32_t* pixels, int32_t width, int32_t height, int64_t stride,
                       imaging::byte_buffer* out);

}  // namespace kel::tiff_codec
