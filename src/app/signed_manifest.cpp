// The signed manifest's form, free of platform calls so that the updater,
// the release tool and the fuzz target share it. Strict on purpose: the
// release tool writes exactly one form, and anything else is not taken.
#include "signed_manifest.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

const char Sha256Tag[] = "#sha256\t";
const char SignatureTag[] = "#signature\t";
const std::size_t KeyIdLength = 16;
const char Base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool IsLowerHex(std::string_view text)
{
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

// The line end as the manifest parser trims it, so that a path here is the
// path the parser gives its entry.
std::string_view TrimLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    return line;
}

int Base64Value(char c)
{
    const char* at = c == '\0' ? nullptr : std::strchr(Base64Digits, c);
    return at == nullptr ? -1 : static_cast<int>(at - Base64Digits);
}

}  // namespace

bool SplitSignature(const std::string& text, SignedParts& parts)
{
    if (text.empty() || text.back() != '\n')
        return false;
    const std::string::size_type lineEnd = text.size() - 1;
    const std::string::size_type previous = lineEnd == 0 ? std::string::npos : text.rfind('\n', lineEnd - 1);
    const std::string::size_type start = previous == std::string::npos ? 0 : previous + 1;
    const std::string_view line = std::string_view(text).substr(start, lineEnd - start);
    const std::size_t tag = sizeof(SignatureTag) - 1;
    if (line.compare(0, tag, SignatureTag) != 0 || line.size() < tag + KeyIdLength + 2 ||
        line[tag + KeyIdLength] != '\t')
        return false;
    const std::string_view keyId = line.substr(tag, KeyIdLength);
    // Only the one way of writing it: a line that says the same thing in
    // other bytes is a changed line.
    const std::string encoded(line.substr(tag + KeyIdLength + 1));
    std::string signature;
    if (!IsLowerHex(keyId) || !FromBase64(encoded, signature) || signature.empty() ||
        ToBase64(signature) != encoded)
        return false;
    parts.signedText = std::string_view(text).substr(0, start);
    parts.keyId = std::string(keyId);
    parts.signature = signature;
    return true;
}

bool SignedEntries(std::string_view signedText, std::vector<ManifestEntry>& entries, SignedDigests& digests)
{
    SignedDigests lines;
    for (std::string_view::size_type pos = 0; pos < signedText.size();) {
        std::string_view::size_type end = signedText.find('\n', pos);
        if (end == std::string_view::npos)
            end = signedText.size();
        const std::string_view line = TrimLineEnd(signedText.substr(pos, end - pos));
        pos = end + 1;
        const std::size_t tag = sizeof(Sha256Tag) - 1;
        if (line.compare(0, tag, Sha256Tag) != 0)
            continue;
        const std::string_view digest = line.substr(tag, 64);
        if (line.size() <= tag + 65 || line[tag + 64] != '\t' || !IsLowerHex(digest))
            return false;
        lines.push_back({line.substr(tag + 65), digest});
    }
    // The release tool writes both in path order: then one pass tells
    // that each entry has a line of its own and each line an entry.
    const auto byPath = [](const SignedDigest& a, const SignedDigest& b) { return a.path < b.path; };
    std::vector<ManifestEntry> parsed = ParseManifest(std::string(signedText));
    bool inOrder = parsed.size() == lines.size();
    for (std::size_t i = 0; inOrder && i < parsed.size(); ++i)
        inOrder = parsed[i].path == lines[i].path && (i == 0 || lines[i - 1].path < lines[i].path);
    if (!inOrder) {
        std::sort(lines.begin(), lines.end(), byPath);
        std::vector<bool> taken(lines.size(), false);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            if (i > 0 && lines[i - 1].path == lines[i].path)
                return false;
        }
        for (const ManifestEntry& e : parsed) {
            const auto found = std::lower_bound(lines.begin(), lines.end(), SignedDigest{e.path, {}}, byPath);
            if (found == lines.end() || found->path != e.path || taken[found - lines.begin()])
                return false;
            taken[found - lines.begin()] = true;
        }
    }
    if (parsed.empty() || parsed.size() != lines.size())
        return false;
    entries.swap(parsed);
    digests.swap(lines);
    return true;
}

const std::string_view* FindSignedDigest(const SignedDigests& digests, std::string_view path)
{
    const auto found = std::lower_bound(
        digests.begin(), digests.end(), path,
        [](const SignedDigest& digest, std::string_view wanted) { return digest.path < wanted; });
    return found != digests.end() && found->path == path ? &found->sha256 : nullptr;
}

bool CheckSignedManifest(const std::string& text, const ReleaseKey* keys, std::size_t count,
                         VerifySignature verify, std::vector<ManifestEntry>& entries, SignedDigests& digests)
{
    entries.clear();
    digests.clear();
    SignedParts parts;
    if (!SplitSignature(text, parts))
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (parts.keyId == keys[i].id && verify(keys[i], parts.signedText, parts.signature))
            return SignedEntries(parts.signedText, entries, digests);
    }
    return false;
}

std::string Sha256Line(const std::string& sha256, const std::string& path)
{
    return Sha256Tag + sha256 + '\t' + path + '\n';
}

std::string SignatureLine(const std::string& keyId, const std::string& signature)
{
    return SignatureTag + keyId + '\t' + ToBase64(signature) + '\n';
}

std::string ToBase64(const std::string& bytes)
{
    std::string text;
    for (std::string::size_type i = 0; i < bytes.size(); i += 3) {
        const std::string::size_type left = bytes.size() - i;
        unsigned value = static_cast<unsigned>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left > 1)
            value |= static_cast<unsigned>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        if (left > 2)
            value |= static_cast<unsigned char>(bytes[i + 2]);
        text += Base64Digits[(value >> 18) & 63];
        text += Base64Digits[(value >> 12) & 63];
        text += left > 1 ? Base64Digits[(value >> 6) & 63] : '=';
        text += left > 2 ? Base64Digits[value & 63] : '=';
    }
    return text;
}

bool FromBase64(const std::string& text, std::string& bytes)
{
    if (text.size() % 4 != 0)
        return false;
    std::string out;
    for (std::string::size_type i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        const int padding = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
        if (padding == 1 && text[i + 3] != '=')
            return false;
        unsigned value = 0;
        for (int j = 0; j < 4; ++j) {
            const int digit = j >= 4 - padding
                                  ? 0
                                  : Base64Value(text[i + static_cast<std::string::size_type>(j)]);
            if (digit < 0)
                return false;
            value = (value << 6) | static_cast<unsigned>(digit);
        }
        out += static_cast<char>(value >> 16);
        if (padding < 2)
            out += static_cast<char>((value >> 8) & 255);
        if (padding < 1)
            out += static_cast<char>(value & 255);
    }
    bytes.swap(out);
    return true;
}
