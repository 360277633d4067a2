#include "history_compress.h"

#include <zstd.h>

namespace kv830host {

namespace {

// Level 3 is zstd's default: higher levels save 4 % at several times the time, which a
// small gateway's commit would pay every minute.
constexpr int kLevel = 3;
// Frames the history writes unpack within two mebibytes (kMaxBlockBytes): a stored frame
// that asks for a larger window is refused rather than given the memory.
constexpr int kMaxWindowLog = 21;

}  // namespace

// A context keeps its tables between calls: making one costs more than a small frame.
struct Compressor::Contexts {
    ZSTD_CCtx* pack = nullptr;
    ZSTD_DCtx* unpack = nullptr;
    ~Contexts() {
        ZSTD_freeCCtx(pack);
        ZSTD_freeDCtx(unpack);
    }
};

Compressor::Compressor() : contexts_(std::make_unique<Contexts>()) {}

Compressor::~Compressor() = default;

void Compressor::compress(const unsigned char* data, std::size_t size,
                          std::vector<unsigned char>& out) {
    if (contexts_->pack == nullptr) {
        contexts_->pack = ZSTD_createCCtx();
    }
    out.resize(ZSTD_compressBound(size));
    const std::size_t n =
        ZSTD_compressCCtx(contexts_->pack, out.data(), out.size(), data, size, kLevel);
    // The bound always suffices; an error here means no memory for the context.
    out.resize(ZSTD_isError(n) != 0U ? 0 : n);
}

void Compressor::release() {
    ZSTD_freeCCtx(contexts_->pack);
    ZSTD_freeDCtx(contexts_->unpack);
    contexts_->pack = nullptr;
    contexts_->unpack = nullptr;
}

bool Compressor::decompress(const unsigned char* blob, std::size_t size, std::size_t limit,
                            std::vector<unsigned char>& out) {
    out.clear();
    if (blob == nullptr || size == 0) {
        return false;
    }
    const unsigned long long content = ZSTD_getFrameContentSize(blob, size);
    if (content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR ||
        content > limit || ZSTD_findFrameCompressedSize(blob, size) != size) {
        return false;
    }
    if (contexts_->unpack == nullptr) {
        contexts_->unpack = ZSTD_createDCtx();
        ZSTD_DCtx_setParameter(contexts_->unpack, ZSTD_d_windowLogMax, kMaxWindowLog);
    }
    out.resize(static_cast<std::size_t>(content));
    const std::size_t n =
        ZSTD_decompressDCtx(contexts_->unpack, out.data(), out.size(), blob, size);
    if (ZSTD_isError(n) != 0U || n != out.size()) {
        out.clear();
        return false;
    }
    return true;
}

}  // namespace kv830host
