// Whether a stream's stored H.264 or VP9 pictures can sit among pictures encoded afresh in one
// output stream, and how those are to be coded to match them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "media/avifile.h"
#include "media/codec/compress.h"

namespace corvane {

// Why the pictures of `main` (coded with `codec`, H.264 or VP9) cannot be copied among encoded
// ones: its size is odd, its pictures are not 8-bit 4:2:0, it is interlaced, its H.264 profile
// or stored header is none the encoder can match... Empty when they can, with `match` then
// saying how the encoded pictures are coded (all but the reorder depth, which the samples'
// order gives).
std::string SpliceMismatch(const CCompressorInfo& codec, const CAviStream& main,
                           CEncoderMatch& match);

// Whether the sample `data` of a stream `match` was made for (by SpliceMismatch) is one a decoder
// can start from with nothing before it: an IDR picture, a VP9 key frame.
bool StartsAfresh(const CCompressorInfo& codec, const CEncoderMatch& match, const uint8_t* data,
                  size_t size);

}  // namespace corvane
