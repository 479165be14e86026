// Release keys through OpenSSL. A private key is read only from a file its
// owner alone may read and that nothing publishes or serves; every
// signature, however made, is checked against the public key before a
// release carries it.
#include "release_signing.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_digest.h"
#include "key_passphrase.h"
#include "shown_text.h"
#include "sign_command.h"
#include "signature_diagnosis.h"
#include "whole_file.h"

namespace fs = std::filesystem;

namespace {

const int MinimumBits = 3072;

bool Refuse(const std::string& what, const std::string& why)
{
    std::fprintf(stderr, "korvanth-publish: %s: %s\n", Shown(what).c_str(), why.c_str());
    return false;
}

// Never asked: a public key needs no passphrase, and a file that wants one
// is no public key.
int NoPassphrase(char*, int, int, void*)
{
    return -1;
}

bool Contains(const fs::path& outer, const fs::path& inner)
{
    const std::string o = outer.string() + "/";
    return (inner.string() + "/").compare(0, o.size(), o) == 0;
}

// The text of the key file at path, or false with why.
bool ReadKeyFile(const std::string& path, std::string& text, std::string& why)
{
    if (ReadWholeFile(path, text, MaxKeyFileBytes))
        return true;
    why = errno == EFBIG    ? "is far larger than any key"
          : errno == EINVAL ? "is not a file"
                            : std::strerror(errno);
    return false;
}

// The label of the first PEM block in text ("PRIVATE KEY", "RSA PUBLIC
// KEY", ...), or empty.
std::string PemLabel(const std::string& text)
{
    const std::string begin = "-----BEGIN ";
    const std::string::size_type at = text.find(begin);
    const std::string::size_type end = at == std::string::npos ? at : text.find("-----", at + begin.size());
    return end == std::string::npos ? "" : text.substr(at + begin.size(), end - at - begin.size());
}

const char* CommandOption(const Signer& signer)
{
    return signer.digest ? "--sign-digest-command" : "--sign-command";
}

}  // namespace

std::string Sha256Bytes(std::string_view bytes)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        return "";
    return std::string(reinterpret_cast<const char*>(digest), size);
}

std::string KeyId(EVP_PKEY* key, std::string& der)
{
    unsigned char* bytes = nullptr;
    const int length = i2d_PUBKEY(key, &bytes);
    if (length <= 0)
        return "";
    der.assign(reinterpret_cast<const char*>(bytes), static_cast<std::size_t>(length));
    OPENSSL_free(bytes);
    const std::string digest = Sha256Bytes(der);
    std::string id;
    if (!digest.empty())
        DigestText(reinterpret_cast<const unsigned char*>(digest.data()), 8, id);
    return id;
}

std::string WhyNoReleaseKey(EVP_PKEY* key)
{
    if (EVP_PKEY_get_base_id(key) != EVP_PKEY_RSA)
        return "is not an RSA key";
    if (EVP_PKEY_get_bits(key) < MinimumBits)
        return "has " + std::to_string(EVP_PKEY_get_bits(key)) + " bits: a release key needs " +
               std::to_string(MinimumBits) + " or more";
    return "";
}

EVP_PKEY* ReadPublicKey(const std::string& path, std::string& why)
{
    std::string text;
    if (!ReadKeyFile(path, text, why))
        return nullptr;
    if (PemLabel(text).find("PRIVATE KEY") != std::string::npos) {
        why = "is a private key: give its public half (--generate-key wrote it beside the key, as "
              "NAME.pub.pem; "
              "or make it with openssl pkey -in KEY -pubout)";
        return nullptr;
    }
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    EVP_PKEY* key = bio != nullptr ? PEM_read_bio_PUBKEY(bio, nullptr, NoPassphrase, nullptr) : nullptr;
    BIO_free(bio);
    ERR_clear_error();
    if (key == nullptr)
        why = "is no public key in PEM form (-----BEGIN PUBLIC KEY-----)";
    return key;
}

EVP_PKEY* ReadPrivateKey(const std::string& path, std::string& why)
{
    std::string text;
    if (!ReadKeyFile(path, text, why))
        return nullptr;
    const std::string label = PemLabel(text);
    PassphraseAsk ask;
    ask.path = path;
    BIO* bio = BIO_new_mem_buf(text.data(), static_cast<int>(text.size()));
    EVP_PKEY* key = bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, GivePassphrase, &ask) : nullptr;
    BIO_free(bio);
    OPENSSL_cleanse(&text[0], text.size());
    ERR_clear_error();
    if (key != nullptr)
        return key;
    if (!ask.given.empty())
        why = "its passphrase is wrong (" + ask.given + ")";
    else if (!ask.none.empty())
        why = "is encrypted and no passphrase was given (" + ask.none + ")";
    else if (label.find("PUBLIC KEY") != std::string::npos)
        why = "is a public key: --sign takes the private key (its public half goes with --release-key)";
    else
        why = "is no private key in PEM form";
    return nullptr;
}

bool LoadPublicKeys(const std::vector<std::string>& paths, std::vector<PublicKey>& keys)
{
    for (const std::string& path : paths) {
        std::string why;
        EVP_PKEY* key = ReadPublicKey(path, why);
        PublicKey publicKey;
        if (key != nullptr)
            why = WhyNoReleaseKey(key);
        if (why.empty())
            publicKey.id = KeyId(key, publicKey.der);
        EVP_PKEY_free(key);
        if (!why.empty())
            return Refuse(path, why);
        keys.push_back(publicKey);
    }
    return true;
}

bool LoadSigningKey(const std::string& path, const std::vector<fs::path>& outside, Signer& signer)
{
    struct stat info;
    if (stat(path.c_str(), &info) != 0)
        return Refuse(path, std::strerror(errno));
    char mode[8];
    std::snprintf(mode, sizeof(mode), "%04o", static_cast<unsigned>(info.st_mode & 07777));
    if ((info.st_mode & 077) != 0)
        return Refuse(path, std::string("mode ") + mode +
                                ": a private key others may read is no one's own; chmod 600 it (and think "
                                "about who read it)");
    std::error_code error;
    const fs::path real = fs::canonical(path, error);
    for (const fs::path& folder : outside) {
        const fs::path other = fs::weakly_canonical(folder, error);
        if (!error && Contains(other, real))
            return Refuse(path,
                          "lies in " + Shown(folder.string()) +
                              ", which is published or served: keep the key where no web server reaches");
    }
    std::string why;
    signer.key = ReadPrivateKey(path, why);
    if (signer.key == nullptr)
        return Refuse(path, why);
    why = WhyNoReleaseKey(signer.key);
    if (!why.empty())
        return Refuse(path, why);
    PublicKey own;
    own.id = KeyId(signer.key, own.der);
    signer.publicKeys.push_back(own);
    return true;
}

bool Sign(Signer& signer, const std::string& text, std::string& signature, std::string& why)
{
    signature.clear();
    if (signer.key != nullptr) {
        EVP_MD_CTX* context = EVP_MD_CTX_new();
        std::size_t length = 0;
        bool ok = context != nullptr &&
                  EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, signer.key) == 1 &&
                  EVP_DigestSign(context, nullptr, &length,
                                 reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
        signature.resize(length);
        ok = ok && EVP_DigestSign(context, reinterpret_cast<unsigned char*>(&signature[0]), &length,
                                  reinterpret_cast<const unsigned char*>(text.data()), text.size()) == 1;
        EVP_MD_CTX_free(context);
        signature.resize(ok ? length : 0);
        if (!ok) {
            why = "the key could not sign";
            return false;
        }
    } else if (!RunSignCommand(signer.command, signer.digest ? Sha256Bytes(text) : text,
                               signer.timeoutSeconds, signature, why)) {
        why = std::string(CommandOption(signer)) + " " + why;
        return false;
    }
    for (const ReleaseKey& key : AsReleaseKeys(signer.publicKeys)) {
        if (VerifyWithOpenSsl(key, text, signature)) {
            signer.keyId = key.id;
            return true;
        }
    }
    why = signer.key != nullptr
              ? "the key's signature does not check"
              : CommandOption(signer) +
                    (" " + WhyNoSignature(signer.publicKeys, text, signature, signer.digest));
    return false;
}

bool OpenSigner(const PublishOptions& options, const std::vector<fs::path>& outside, Signer& signer)
{
    signer.command = options.signCommand.empty() ? options.signDigestCommand : options.signCommand;
    signer.digest = !options.signDigestCommand.empty();
    signer.timeoutSeconds = options.signTimeout;
    if (!options.signKey.empty() && !LoadSigningKey(options.signKey, outside, signer))
        return false;
    // Keys given pin the signature: the key's own public half alone no
    // longer vouches for it.
    const std::string own = signer.publicKeys.empty() ? "" : signer.publicKeys[0].id;
    if (!options.releaseKeys.empty())
        signer.publicKeys.clear();
    if (!LoadPublicKeys(options.releaseKeys, signer.publicKeys))
        return false;
    std::string pinned;
    bool among = options.releaseKeys.empty();
    for (const PublicKey& key : signer.publicKeys) {
        pinned += (pinned.empty() ? "" : ", ") + key.id;
        among = among || key.id == own;
    }
    if (!own.empty() && !among)
        return Refuse(options.signKey,
                      "the key " + own + " is none of the --release-key keys (" + pinned + ")");
    // Comment lines alone: no updater takes them for a release.
    const std::string probe = "# korvanth-publish: a signer's trial signature, no release\n";
    std::string signature, why;
    if (Sign(signer, probe, signature, why))
        return true;
    std::fprintf(stderr, "korvanth-publish: the signer does not sign: %s; nothing was changed\n",
                 Shown(why).c_str());
    return false;
}

bool VerifyWithOpenSsl(const ReleaseKey& key, std::string_view message, const std::string& signature)
{
    const unsigned char* der = key.bytes;
    EVP_PKEY* publicKey = d2i_PUBKEY(nullptr, &der, static_cast<long>(key.length));
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    const bool ok = publicKey != nullptr && context != nullptr &&
                    EVP_DigestVerifyInit(context, nullptr, EVP_sha256(), nullptr, publicKey) == 1 &&
                    EVP_DigestVerify(context, reinterpret_cast<const unsigned char*>(signature.data()),
                                     signature.size(), reinterpret_cast<const unsigned char*>(message.data()),
                                     message.size()) == 1;
    EVP_MD_CTX_free(context);
    EVP_PKEY_free(publicKey);
    return ok;
}

std::vector<ReleaseKey> AsReleaseKeys(const std::vector<PublicKey>& keys)
{
    std::vector<ReleaseKey> views;
    for (const PublicKey& key : keys)
        views.push_back(
            {key.id.c_str(), reinterpret_cast<const unsigned char*>(key.der.data()), key.der.size()});
    return views;
}

void FreeSigner(Signer& signer)
{
    EVP_PKEY_free(signer.key);
    signer.key = nullptr;
}
