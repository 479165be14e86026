// File digest through CryptoAPI. The file is streamed through one static
// buffer so that memory use stays flat whatever the size of a game file.
#include "file_digest.h"

#include <windows.h>
#include <wincrypt.h>

#include "system_library.h"

namespace {

const DWORD ReadChunkSize = 0x10000;
unsigned char readBuffer[ReadChunkSize];

}  // namespace

void KeepDigestProviderLoaded()
{
    // Deliberately never freed: the reference is meant to last the process.
    LoadSystemLibrary(L"rsaenh.dll");
}

bool Md5File(const std::string& path, std::string& digest)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;

    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    bool ok = false;
    BYTE value[16];
    DWORD valueLength = sizeof(value);

    if (!CryptAcquireContextA(&provider, NULL, NULL, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT))
        goto done;
    if (!CryptCreateHash(provider, CALG_MD5, 0, 0, &hash))
        goto done;

    for (;;) {
        DWORD got = 0;
        // A read that fails part-way must not pass off a prefix's digest as
        // the file's: that could bless a file that differs after the prefix.
        if (!ReadFile(file, readBuffer, ReadChunkSize, &got, NULL))
            goto done;
        if (got == 0)
            break;
        if (!CryptHashData(hash, readBuffer, got, 0))
            goto done;
    }
    if (!CryptGetHashParam(hash, HP_HASHVAL, value, &valueLength, 0))
        goto done;

    DigestText(value, sizeof(value), digest);
    ok = true;

done:
    if (hash != 0)
        CryptDestroyHash(hash);
    if (provider != 0)
        CryptReleaseContext(provider, 0);
    CloseHandle(file);
    return ok;
}
