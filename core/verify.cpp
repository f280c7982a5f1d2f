#include "core/verify.h"

#include "core/workers.h"
#include "diag/trace.h"
#include "platform/files.h"
#include "platform/text.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace {

constexpr size_t READ_BACK_BLOCK = 64 * 1024;
constexpr const char* CHECKING_TEXT = "Checking the file against the server's checksum.";

bool isHttp(const WireRequest& web)
{
    return web.scheme == SCHEME_HTTP || web.scheme == SCHEME_HTTPS;
}

void noteOnItem(UrlItem* item, const char* text)
{
    auto lock = MOONQ_LockItem();
    Text_CopyBounded(item->statusText, text);
    item->flags |= ITEM_CHECKSUM_NOTE;
}

// The digest of the local file, read back from its start; false when it cannot be read.
bool hashFile(const char* path, DigestAlgorithm algorithm, uint8_t* out)
{
    FILE* file = Plat_OpenFile(path, "rb");
    DigestContext* context = file == nullptr ? nullptr : Digest_Begin(algorithm);
    bool read = context != nullptr;
    std::array<char, READ_BACK_BLOCK> block;
    while (read) {
        const size_t count = std::fread(block.data(), 1, block.size(), file);
        read = Digest_Add(context, block.data(), count) && !std::ferror(file);
        if (count < block.size())
            break;
    }
    if (file != nullptr)
        std::fclose(file);
    if (read)
        return Digest_End(context, out);
    Digest_Free(context);
    return false;
}

// Empties the file and forgets its part: nothing of it is continued.
void discard(UrlItem* item)
{
    if (FILE* file = MOONQ_OpenLocalFile(item->localPath))
        std::fclose(file);
    auto lock = MOONQ_LockItem();
    item->partDone.store(0, std::memory_order_relaxed);
    MOONQ_SetPartRanges(item, SegDone{});
    item->partFile = {};
    item->flags &= ~ITEM_CHECKSUM_NOTE;
}

}  // namespace

void MOONQ_BeginVerify(UrlRequest* request, int64_t from, bool sameVersion)
{
    MOONQ_DropVerify(request);
    UrlItem* item = request->item;
    item->flags &= ~ITEM_CHECKSUM_NOTE;
    const WireRequest& web = request->web;
    ChecksumClaim claim{};
    // The answer of a request whose file was complete already speaks of no file.
    if (isHttp(web) && !web.complete)
        claim = Checksums_OfAnswer(web.hRequest, web.status == 200 && from == 0);
    {
        auto lock = MOONQ_LockItem();
        if (claim.algorithm != DigestAlgorithm::None || !sameVersion)
            item->checksum = claim;
        request->checksum = item->checksum;
    }
    request->hashedUpTo = 0;
    if (from == 0)
        request->hashing = Digest_Begin(request->checksum.algorithm);
}

void MOONQ_HashWritten(UrlRequest* request, int64_t at, const void* data, size_t size)
{
    if (request->hashing == nullptr)
        return;
    // A hash that fails here is made again from the file at the end.
    if (at != request->hashedUpTo || !Digest_Add(request->hashing, data, size))
        MOONQ_DropVerify(request);
    request->hashedUpTo += int64_t(size);
}

int32_t MOONQ_VerifyFile(UrlRequest* request)
{
    UrlItem* item = request->item;
    const ChecksumClaim& claim = request->checksum;
    if (claim.algorithm == DigestAlgorithm::None)
        return 1;
    uint8_t digest[DIGEST_CAPACITY];
    bool hashed = false;
    if (request->hashing != nullptr) {
        hashed = Digest_End(request->hashing, digest);
        request->hashing = nullptr;
    } else {
        noteOnItem(item, CHECKING_TEXT);
        hashed = hashFile(item->localPath, claim.algorithm, digest);
    }
    char text[STATUS_CAPACITY];
    const bool matches = hashed && std::memcmp(digest, claim.value, Digest_Length(claim.algorithm)) == 0;
    std::snprintf(text, sizeof text, "%s the server's checksum (%s in %s).",
                  matches ? "The file matches" : hashed ? "The file does not match" : "Could not read the file to check it against",
                  Checksums_AlgorithmName(claim.algorithm), Checksums_SourceName(claim.source));
    Trace_PrintString(TRACE_ALL, "DownloadURL, %s\n", text);
    if (!matches) {
        discard(item);
        return ERR_CHECKSUM_MISMATCH;
    }
    noteOnItem(item, text);
    return 1;
}

void MOONQ_DropVerify(UrlRequest* request)
{
    Digest_Free(request->hashing);
    request->hashing = nullptr;
}
