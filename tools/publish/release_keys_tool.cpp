// A new key goes to disk whole or not at all: both files are made (O_EXCL,
// so never through a link, nor over anything) before either is written,
// and both are removed when anything fails, so that no operator is left
// with a half-written key, or a key without its public half.
#include "release_keys_tool.h"

#include <fcntl.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include "key_passphrase.h"
#include "release_signing.h"
#include "shown_text.h"
#include "updater_identity.h"
#include "whole_file.h"

namespace {

const unsigned NewKeyBits = 3072;

int Refused(const std::string& path, const std::string& why, int code)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(path).c_str(), why.c_str());
    return code;
}

// release.pem: release.pub.pem; any other name gets .pub.pem added.
std::string PublicHalfPath(const std::string& path)
{
    const std::string pem = ".pem";
    const bool named = path.size() > pem.size() &&
                       path.compare(path.size() - pem.size(), pem.size(), pem) == 0;
    return (named ? path.substr(0, path.size() - pem.size()) : path) + ".pub.pem";
}

// key's PEM form: the private key encrypted with passphrase, or, given
// none, the public half.
std::string PemOf(EVP_PKEY* key, const std::string* passphrase)
{
    BIO* bio = BIO_new(BIO_s_mem());
    const bool ok = bio != nullptr &&
                    (passphrase != nullptr ? PEM_write_bio_PKCS8PrivateKey(
                                                 bio, key, EVP_aes_256_cbc(), passphrase->data(),
                                                 static_cast<int>(passphrase->size()), nullptr, nullptr) == 1
                                           : PEM_write_bio_PUBKEY(bio, key) == 1);
    char* data = nullptr;
    const long length = ok ? BIO_get_mem_data(bio, &data) : 0;
    std::string pem = length > 0 ? std::string(data, static_cast<std::size_t>(length)) : "";
    BIO_free(bio);
    return pem;
}

struct NewFile {
    std::string path;
    std::string text;
    unsigned mode;
    int fd;
};

// Makes every file, then writes each; false with why, and none left, when
// anything fails.
bool WriteNewFiles(std::vector<NewFile>& files, std::string& why)
{
    for (NewFile& file : files) {
        file.fd = why.empty() ? open(file.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                                     file.mode)
                              : -1;
        if (why.empty() && file.fd < 0)
            why = Shown(file.path) + ": " + std::strerror(errno);
    }
    for (NewFile& file : files) {
        if (why.empty() && (fchmod(file.fd, file.mode) != 0 ||
                            !WriteAll(file.fd, file.text.data(), file.text.size()) || fsync(file.fd) != 0))
            why = Shown(file.path) + ": " + std::strerror(errno);
    }
    for (NewFile& file : files) {
        if (file.fd >= 0 && close(file.fd) != 0 && why.empty())
            why = Shown(file.path) + ": " + std::strerror(errno);
    }
    for (const NewFile& file : files) {
        if (file.fd >= 0 && !why.empty())
            unlink(file.path.c_str());
    }
    return why.empty();
}

}  // namespace

int GenerateReleaseKey(const std::string& path)
{
    const std::string publicPath = PublicHalfPath(path);
    struct stat info;
    for (const std::string& name : {path, publicPath}) {
        if (lstat(name.c_str(), &info) == 0)
            return Refused(name, "exists: a key is never overwritten (move it away, or give another name)",
                           2);
    }
    std::string passphrase, why;
    if (!NewPassphrase(path, passphrase, why))
        return Refused(path, why, 2);
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<std::size_t>(NewKeyBits));
    std::string der;
    const std::string id = key != nullptr ? KeyId(key, der) : "";
    std::vector<NewFile> files = {{path, key != nullptr ? PemOf(key, &passphrase) : "", 0600, -1},
                                  {publicPath, key != nullptr ? PemOf(key, nullptr) : "", 0644, -1}};
    EVP_PKEY_free(key);
    OPENSSL_cleanse(&passphrase[0], passphrase.size());
    if (id.empty() || files[0].text.empty() || files[1].text.empty())
        return Refused(path, "OpenSSL could not make the key", 2);
    if (!WriteNewFiles(files, why)) {
        std::fprintf(stderr, "korvanth-publish: %s; no key was made\n", why.c_str());
        return 2;
    }
    std::printf("key %s: private key %s (encrypted; keep a copy offline), public key %s\n", id.c_str(),
                Shown(path).c_str(), Shown(publicPath).c_str());
    return 0;
}

int ShowKeyId(const std::string& path)
{
    std::string text;
    const bool whole = ReadWholeFile(path, text, MaxKeyFileBytes);
    if (!whole && errno != EFBIG)
        return Refused(path, errno == EINVAL ? "is not a file" : std::strerror(errno), 2);
    if (!whole || text.compare(0, 2, "MZ") == 0) {
        UpdaterIdentity identity;
        const std::string why = WhyNoKeyedUpdater(path, identity);
        if (!why.empty())
            return Refused(path, why, 1);
        std::printf("%s\n", IdentityText(identity).c_str());
        return 0;
    }
    const bool secret = text.find("PRIVATE KEY-----") != std::string::npos;
    OPENSSL_cleanse(&text[0], text.size());
    std::string why, der;
    EVP_PKEY* key = secret ? ReadPrivateKey(path, why) : ReadPublicKey(path, why);
    if (key == nullptr)
        return Refused(path, why, 1);
    const std::string id = KeyId(key, der);
    why = WhyNoReleaseKey(key);
    EVP_PKEY_free(key);
    std::printf("%s\n", id.c_str());
    return why.empty() ? 0 : Refused(path, why + ": no updater takes it", 1);
}
