// tiff_codec: TIFF files over libtiff, for the imaging services.
//
// Both directions run over memory through TIFFClientOpen. Decoding reads the
// first directory, strips or tiles, with TIFFReadRGBAImageOriented, which
// hands colours premultiplied by alpha (unassociated alpha included); they
// are divided back to straight alpha, and a fully transparent pixel keeps no
// colour. Encoding writes 8-bit RGBA with the alpha as an unassociated extra
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
