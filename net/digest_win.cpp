#include "net/digest.h"

#include <new>
#include <windows.h>
#include <bcrypt.h>

struct DigestContext {
    DigestAlgorithm algorithm;
    BCRYPT_ALG_HANDLE provider;   // null for CRC32C
    BCRYPT_HASH_HANDLE hash;
    uint32_t crc;
};

namespace {

const wchar_t* providerFor(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Md5:
        return BCRYPT_MD5_ALGORITHM;
    case DigestAlgorithm::Sha256:
        return BCRYPT_SHA256_ALGORITHM;
    case DigestAlgorithm::Sha512:
        return BCRYPT_SHA512_ALGORITHM;
    case DigestAlgorithm::Crc32c:
    case DigestAlgorithm::None:
        break;
    }
    return nullptr;
}

bool succeeded(NTSTATUS status)
{
    return status >= 0;
}

}  // namespace

DigestContext* Digest_Begin(DigestAlgorithm algorithm)
{
    if (algorithm == DigestAlgorithm::None)
        return nullptr;
    auto* context = new (std::nothrow) DigestContext{algorithm, nullptr, nullptr, 0};
    if (context == nullptr || algorithm == DigestAlgorithm::Crc32c)
        return context;
    if (!succeeded(BCryptOpenAlgorithmProvider(&context->provider, providerFor(algorithm), nullptr, 0)) ||
        !succeeded(BCryptCreateHash(context->provider, &context->hash, nullptr, 0, nullptr, 0, 0))) {
        Digest_Free(context);
        return nullptr;
    }
    return context;
}

bool Digest_Add(DigestContext* context, const void* data, size_t size)
{
    if (context->hash == nullptr) {
        context->crc = Digest_Crc32c(context->crc, data, size);
        return true;
    }
    // BCrypt takes at most 4 GiB a call.
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ULONG chunk = ULONG(size > 0x40000000u ? 0x40000000u : size);
        if (!succeeded(BCryptHashData(context->hash, const_cast<PUCHAR>(bytes), chunk, 0)))
            return false;
        bytes += chunk;
        size -= chunk;
    }
    return true;
}

bool Digest_End(DigestContext* context, uint8_t* out)
{
    bool done = true;
    if (context->hash == nullptr) {
        for (int i = 0; i < 4; ++i)
            out[i] = uint8_t(context->crc >> (24 - 8 * i));
    } else {
        done = succeeded(BCryptFinishHash(context->hash, out, ULONG(Digest_Length(context->algorithm)), 0));
    }
    Digest_Free(context);
    return done;
}

void Digest_Free(DigestContext* context)
{
    if (context == nullptr)
        return;
    if (context->hash != nullptr)
        BCryptDestroyHash(context->hash);
    if (context->provider != nullptr)
        BCryptCloseAlgorithmProvider(context->provider, 0);
    delete context;
}
