// Each key whose modulus has the signature's size is asked what it sees:
// PKCS#1 v1.5 padding around the wrong thing, or PSS's structure, known as
// such by its unmasked padding, not by its last byte alone. A block that is
// neither is what another key's signature, or any bytes, look like.
#include "signature_diagnosis.h"

#include <openssl/rsa.h>
#include <openssl/x509.h>

#include <cstdint>

namespace {

// The SHA-256 DigestInfo's DER up to the digest, as PKCS#1 v1.5 signs it.
const std::string Sha256Prefix("\x30\x31\x30\x0d\x06\x09\x60\x86\x48\x01\x65\x03\x04\x02\x01\x05\x00\x04\x20",
                               19);

struct KeyLook {
    std::string id;
    EVP_PKEY* key;
    std::size_t bytes;
    int bits;
};

// signature^e mod n, every byte of it: empty when signature is no number
// below the modulus.
std::string Recovered(EVP_PKEY* key, const std::string& signature)
{
    EVP_PKEY_CTX* context = EVP_PKEY_CTX_new(key, nullptr);
    std::string block(static_cast<std::size_t>(EVP_PKEY_get_size(key)), '\0');
    std::size_t length = block.size();
    const bool ok = context != nullptr && EVP_PKEY_verify_recover_init(context) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(context, RSA_NO_PADDING) == 1 &&
                    EVP_PKEY_verify_recover(context, reinterpret_cast<unsigned char*>(&block[0]), &length,
                                            reinterpret_cast<const unsigned char*>(signature.data()),
                                            signature.size()) == 1;
    EVP_PKEY_CTX_free(context);
    block.resize(ok ? length : 0);
    return block;
}

// Whether block is PSS's encoding (with SHA-256 and MGF1 over it) for a key
// of bits: masked padding, the hash, 0xbc; unmasked, zeros, 0x01, a salt.
bool IsPss(const std::string& block, int bits)
{
    const std::size_t hash = 32, encoded = static_cast<std::size_t>(bits - 1 + 7) / 8;
    if (block.size() < encoded || encoded < hash + 2 || block.back() != '\xbc')
        return false;
    const std::string em = block.substr(block.size() - encoded);
    const std::string seed = em.substr(encoded - hash - 1, hash);
    std::string db = em.substr(0, encoded - hash - 1);
    std::string mask;
    for (std::uint32_t counter = 0; mask.size() < db.size(); ++counter) {
        const char count[4] = {static_cast<char>(counter >> 24), static_cast<char>(counter >> 16),
                               static_cast<char>(counter >> 8), static_cast<char>(counter)};
        const std::string part = Sha256Bytes(seed + std::string(count, 4));
        if (part.empty())
            return false;
        mask += part;
    }
    for (std::size_t i = 0; i < db.size(); ++i)
        db[i] = static_cast<char>(db[i] ^ mask[i]);
    db[0] = static_cast<char>(db[0] & (0xff >> (8 * encoded - static_cast<std::size_t>(bits - 1))));
    const std::string::size_type one = db.find_first_not_of('\0');
    return one != std::string::npos && db[one] == '\x01';
}

// The name of the digest a DigestInfo names, or empty when bytes are none.
std::string DigestInfoName(const std::string& bytes)
{
    const unsigned char* at = reinterpret_cast<const unsigned char*>(bytes.data());
    X509_SIG* info = d2i_X509_SIG(nullptr, &at, static_cast<long>(bytes.size()));
    if (info == nullptr)
        return "";
    const X509_ALGOR* algorithm = nullptr;
    const ASN1_OBJECT* object = nullptr;
    X509_SIG_get0(info, &algorithm, nullptr);
    X509_ALGOR_get0(&object, nullptr, nullptr, algorithm);
    char name[80] = "";
    OBJ_obj2txt(name, sizeof(name), object, 0);
    X509_SIG_free(info);
    return name;
}

// What block, a key's view of the signature, shows was signed; empty when
// it shows nothing (another key).
std::string WhatWasSigned(const std::string& block, int bits, const std::string& text, bool digest)
{
    // PKCS#1 v1.5: 00 01, eight or more ff, 00, what was signed.
    const std::string::size_type zero = block.find('\0', 2);
    if (block.compare(0, 2, std::string("\0\1", 2)) == 0 && zero != std::string::npos && zero >= 10 &&
        block.find_first_not_of('\xff', 2) == zero) {
        const std::string signedBytes = block.substr(zero + 1), sha256 = Sha256Bytes(text);
        if (signedBytes.size() == sha256.size())
            return digest
                       ? "signed the SHA-256 bare, without its DigestInfo: prepend the DigestInfo "
                         "(3031300d060960864801650304020105000420) and sign with CKM_RSA_PKCS, or sign with "
                         "openssl pkeyutl -pkeyopt digest:sha256"
                       : "signed a bare SHA-256 without DigestInfo: sign with digest:sha256 / "
                         "CKM_SHA256_RSA_PKCS, or prepend the DigestInfo "
                         "(3031300d060960864801650304020105000420)";
        const std::string name = DigestInfoName(signedBytes);
        if (name.empty())
            return "gave PKCS#1 v1.5 padding around " + std::to_string(signedBytes.size()) +
                   " bytes that are no DigestInfo";
        if (signedBytes.compare(0, Sha256Prefix.size(), Sha256Prefix) != 0)
            return name == "sha256"
                       ? "signed a SHA-256 DigestInfo of another DER form than PKCS#1's (its NULL "
                         "parameters left out?)"
                       : "signed a " + name + " digest: the signature must be over SHA-256";
        if (signedBytes.compare(Sha256Prefix.size(), std::string::npos, Sha256Bytes(sha256)) == 0)
            return std::string(
                       "signed the SHA-256 of the SHA-256 of the bytes given, hashing once too often") +
                   (digest ? ": the digest it is given is signed as it is (openssl pkeyutl, not openssl dgst)"
                           : "");
        return "signed other bytes than it was given";
    }
    if (IsPss(block, bits))
        return "gave a signature with PSS padding; PKCS#1 v1.5 is needed";
    return "";
}

// Whether text, blanks and line ends aside, is hexadecimal or base64 text of
// bytes bytes; what it is called then, or empty.
std::string TextForm(const std::string& text, std::size_t bytes)
{
    std::string bare;
    for (char c : text) {
        if (c != ' ' && c != '\n' && c != '\r' && c != '\t')
            bare += c;
    }
    if (bare.size() == 2 * bytes && bare.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos)
        return "hexadecimal text: write the raw signature, e.g. pipe through xxd -r -p";
    const std::string::size_type end = bare.find_last_not_of('=');
    const std::size_t padding = end == std::string::npos ? 0 : bare.size() - end - 1;
    if (bare.size() % 4 == 0 && padding <= 2 && bare.size() / 4 * 3 - padding == bytes &&
        bare.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") >=
            bare.size() - padding)
        return "base64: write the raw signature, e.g. pipe through base64 -d";
    return "";
}

}  // namespace

std::string WhyNoSignature(const std::vector<PublicKey>& keys, const std::string& text,
                           const std::string& signature, bool digest)
{
    std::vector<KeyLook> looks;
    for (const PublicKey& key : keys) {
        const unsigned char* der = reinterpret_cast<const unsigned char*>(key.der.data());
        EVP_PKEY* opened = d2i_PUBKEY(nullptr, &der, static_cast<long>(key.der.size()));
        if (opened != nullptr)
            looks.push_back({key.id, opened, static_cast<std::size_t>(EVP_PKEY_get_size(opened)),
                             EVP_PKEY_get_bits(opened)});
    }
    std::string why, sizes, ids;
    bool sized = false;
    for (const KeyLook& look : looks) {
        const std::string form = TextForm(signature, look.bytes);
        if (why.empty() && !form.empty())
            why = "wrote " + form;
        if (why.empty() && look.bytes == signature.size())
            why = WhatWasSigned(Recovered(look.key, signature), look.bits, text, digest);
        sizes += std::string(sizes.empty() ? "" : ", ") + "a signature by key " + look.id + " (" +
                 std::to_string(look.bits) + " bits) has " + std::to_string(look.bytes);
        ids += (ids.empty() ? "" : " or ") + look.id;
        sized = sized || look.bytes == signature.size();
    }
    for (KeyLook& look : looks)
        EVP_PKEY_free(look.key);
    if (!why.empty())
        return why;
    if (!sized)
        return "gave " + std::to_string(signature.size()) + " bytes; " + sizes;
    return "gave no signature by key " + ids + ": another key?";
}
