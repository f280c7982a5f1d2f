#include "net/digest.h"

#include <new>
#include <openssl/evp.h>

struct DigestContext {
    DigestAlgorithm algorithm;
    EVP_MD_CTX* evp;   // null for CRC32C
    uint32_t crc;
};

namespace {

const EVP_MD* evpFor(DigestAlgorithm algorithm)
{
    switch (algorithm) {
    case DigestAlgorithm::Md5:
        return EVP_md5();
    case DigestAlgorithm::Sha256:
        return EVP_sha256();
    case DigestAlgorithm::Sha512:
        return EVP_sha512();
    case DigestAlgorithm::Crc32c:
    case DigestAlgorithm::None:
        break;
    }
    return nullptr;
}

}  // namespace

DigestContext* Digest_Begin(DigestAlgorithm algorithm)
{
    if (algorithm == DigestAlgorithm::None)
        return nullptr;
    auto* context = new (std::nothrow) DigestContext{algorithm, nullptr, 0};
    if (context == nullptr || algorithm == DigestAlgorithm::Crc32c)
        return context;
    context->evp = EVP_MD_CTX_new();
    if (context->evp == nullptr || EVP_DigestInit_ex(context->evp, evpFor(algorithm), nullptr) != 1) {
        Digest_Free(context);
        return nullptr;
    }
    return context;
}

bool Digest_Add(DigestContext* context, const void* data, size_t size)
{
    if (context->evp == nullptr) {
        context->crc = Digest_Crc32c(context->crc, data, size);
        return true;
    }
    return EVP_DigestUpdate(context->evp, data, size) == 1;
}

bool Digest_End(DigestContext* context, uint8_t* out)
{
    bool done = true;
    if (context->evp == nullptr) {
        for (int i = 0; i < 4; ++i)
            out[i] = uint8_t(context->crc >> (24 - 8 * i));
    } else {
        unsigned int length = 0;
        done = EVP_DigestFinal_ex(context->evp, out, &length) == 1 &&
               length == Digest_Length(context->algorithm);
    }
    Digest_Free(context);
    return done;
}

void Digest_Free(DigestContext* context)
{
    if (context == nullptr)
        return;
    EVP_MD_CTX_free(context->evp);
    delete context;
}
