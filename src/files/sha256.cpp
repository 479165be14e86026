// SHA-256 and RSA signatures through ADVAPI32's CryptoAPI, the same DLL as
// the MD5 digest: a signed updater imports nothing new.
#include "sha256.h"

#include <algorithm>
#include <vector>

#include "file_digest.h"

bool BeginSha256(Sha256Hash& sha256)
{
    return CryptAcquireContextA(&sha256.provider, NULL, NULL, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
           CryptCreateHash(sha256.provider, CALG_SHA_256, 0, 0, &sha256.hash);
}

bool AddToSha256(Sha256Hash& sha256, const unsigned char* data, DWORD length)
{
    return CryptHashData(sha256.hash, data, length, 0) != 0;
}

bool FinishSha256(Sha256Hash& sha256, std::string& digest)
{
    BYTE value[32];
    DWORD length = sizeof(value);
    if (!CryptGetHashParam(sha256.hash, HP_HASHVAL, value, &length, 0) || length != sizeof(value))
        return false;
    DigestText(value, sizeof(value), digest);
    return true;
}

void ReleaseSha256(Sha256Hash& sha256)
{
    if (sha256.hash != 0)
        CryptDestroyHash(sha256.hash);
    if (sha256.provider != 0)
        CryptReleaseContext(sha256.provider, 0);
    sha256.hash = 0;
    sha256.provider = 0;
}

bool VerifyWithCryptoApi(const ReleaseKey& key, std::string_view message, const std::string& signature)
{
    Sha256Hash sha256;
    HCRYPTKEY publicKey = 0;
    // CryptoAPI takes the signature least significant byte first.
    std::vector<BYTE> reversed(signature.rbegin(), signature.rend());
    const bool ok = BeginSha256(sha256) &&
                    CryptImportKey(sha256.provider, key.bytes, static_cast<DWORD>(key.length), 0, 0,
                                   &publicKey) &&
                    AddToSha256(sha256, reinterpret_cast<const unsigned char*>(message.data()),
                                static_cast<DWORD>(message.size())) &&
                    CryptVerifySignatureA(sha256.hash, reversed.data(), static_cast<DWORD>(reversed.size()),
                                          publicKey, NULL, 0);
    if (publicKey != 0)
        CryptDestroyKey(publicKey);
    ReleaseSha256(sha256);
    return ok;
}
