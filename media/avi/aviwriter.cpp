// New AVI files: the CAviFile and CAviStream faces of CAviWriterCore.
#include <algorithm>
#include <cstring>

#include "media/avi/aviopen.h"
#include "media/avi/aviwriter_core.h"
#include "media/avi/aviwriter_files.h"
#include "media/avi/aviwriter_tools.h"

namespace corvane {
namespace {

// A stream being written. It shares the core, so the file is completed only when the file
// and all its streams are gone.
class CNewStream final : public CAviStream {
 public:
  CNewStream(std::shared_ptr<CAviWriterCore> core, int index)
      : m_core(std::move(core)), m_index(index) {}

  HRESULT Info(AVISTREAMINFOA& info) const override {
    m_core->StreamInfo(m_index, info);
    return AVIERR_OK;
  }

  HRESULT ReadFormat(int32_t, void* format, int32_t* size) override {
    if (!size) return AVIERR_BADPARAM;
    const std::vector<uint8_t>& bytes = m_core->Format(m_index);
    if (!format) {
      *size = static_cast<int32_t>(bytes.size());
      return AVIERR_OK;
    }
    const auto count = static_cast<size_t>(std::clamp<int64_t>(*size, 0, bytes.size()));
    std::memcpy(format, bytes.data(), count);
    *size = static_cast<int32_t>(count);
    return AVIERR_OK;
  }

  HRESULT SetFormat(int32_t, const void* format, int32_t size) override {
    return Guarded([&] { return m_core->SetFormat(m_index, format, size); });
  }

  HRESULT SetHandler(uint32_t fccHandler) override {
    return m_core->SetHandler(m_index, fccHandler);
  }

  int32_t Start() const override { return static_cast<int32_t>(m_core->Clock(m_index).m_start); }
  int32_t Length() const override {
    return static_cast<int32_t>(std::min<int64_t>(m_core->Clock(m_index).Length(), INT32_MAX));
  }

  // The samples of a stream being written go straight to the disk and are not read back.
  HRESULT Read(int32_t, int32_t, void*, int32_t, int32_t* bytesRead,
               int32_t* samplesRead) override {
    if (bytesRead) *bytesRead = 0;
    if (samplesRead) *samplesRead = 0;
    return AVIERR_UNSUPPORTED;
  }

  HRESULT Write(int32_t start, int32_t samples, const void* data, int32_t size, uint32_t flags,
                int32_t* samplesWritten, int32_t* bytesWritten) override {
    return Guarded([&] {
      return m_core->Write(m_index, start, samples, data, size, flags, samplesWritten,
                           bytesWritten);
    });
  }

  HRESULT WritePaletteChange(const void* data, int32_t size) override {
    return Guarded([&] { return m_core->WritePaletteChange(m_index, data, size); });
  }

  int32_t FindSample(int32_t, uint32_t) const override { return -1; }

 private:
  std::shared_ptr<CAviWriterCore> m_core;
  int m_index;
};

class CNewFile final : public CWritingFile {
 public:
  explicit CNewFile(std::shared_ptr<CAviWriterCore> core) : m_core(std::move(core)) {}

  HRESULT Info(AVIFILEINFOW& info) const override {
    m_core->FileInfo(info);
    return AVIERR_OK;
  }

  HRESULT GetStream(PAVISTREAM& stream, uint32_t fccType, int32_t index) override {
    return Guarded([&] {
      stream.reset();
      int32_t seen = 0;
      for (int i = 0; i < m_core->StreamCount(); ++i) {
        AVISTREAMINFOA info;
        m_core->StreamInfo(i, info);
        if (fccType != 0 && info.fccType != fccType) continue;
        if (seen++ == index) {
          stream = std::make_shared<CNewStream>(m_core, i);
          return AVIERR_OK;
        }
      }
      return AVIERR_NODATA;
    });
  }

  HRESULT CreateStream(PAVISTREAM& stream, const AVISTREAMINFOA& info) override {
    return Guarded([&] {
      stream.reset();
      int index = -1;
      const HRESULT hr = m_core->AddStream(info, index);
      if (hr != AVIERR_OK) return hr;
      stream = std::make_shared<CNewStream>(m_core, index);
      return AVIERR_OK;
    });
  }

  HRESULT Finish() override {
    return Guarded([&] { return m_core->Finish(); });
  }

 private:
  std::shared_ptr<CAviWriterCore> m_core;
};

}  // namespace

HRESULT CreateAviFile(const std::string& path, const CAviWriterOptions& options, PAVIFILE& file) {
  return Guarded([&] {
    file.reset();
    auto core = std::make_shared<CAviWriterCore>(options);
    const HRESULT hr = core->Create(path);
    if (hr != AVIERR_OK) return hr;
    file = std::make_shared<CNewFile>(std::move(core));
    return AVIERR_OK;
  });
}

HRESULT OpenAviWriter(const std::string& path, uint32_t mode, PAVIFILE& file) {
  file.reset();
  if (mode & OF_CREATE) return CreateAviFile(path, CAviWriterOptions{}, file);
  return ReopenAviFile(path, file);
}

HRESULT FinishAviFile(const PAVIFILE& file) {
  if (!file) return AVIERR_BADHANDLE;
  auto* writing = dynamic_cast<CWritingFile*>(file.get());
  return writing ? writing->Finish() : AVIERR_OK;
}

}  // namespace corvane
