// An output format context and the file it writes, freed together. Internal to media/mux.
#pragma once

#include <memory>

extern "C" {
#include <libavformat/avformat.h>
}

namespace corvane {

struct COutputDeleter {
  void operator()(AVFormatContext* context) const {
    if (context->pb && !(context->oformat->flags & AVFMT_NOFILE)) avio_closep(&context->pb);
    avformat_free_context(context);
  }
};
using OutputPtr = std::unique_ptr<AVFormatContext, COutputDeleter>;

}  // namespace corvane
