// The signed manifest's form, free of platform calls so that the updater,
// the release tool and the fuzz target share it. Strict on purpose: the
// release tool writes exactly one form, and anything else is not taken.
#include "signed_manifest.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

#include "path_rules.h"
#include "utc_time.h"

namespace {

const char ReleaseTag[] = "#release\t";
const char ExpiresTag[] = "#expires\t";
const char DroppedTag[] = "#dropped\t";
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

namespace {

// One tagged line of the signed part: the text after its tag.
struct TaggedLines {
    SignedDigests sha256;
    std::vector<DroppedFile> dropped;
    std::vector<std::string_view> release;
    std::vector<std::string_view> expires;
};

// "<64 or 32 lower-case hex> TAB <path>": the digest and the path, or false.
bool SplitDigestLine(std::string_view rest, std::size_t digits, std::string_view& digest,
                     std::string_view& path)
{
    if (rest.size() <= digits + 1 || rest[digits] != '\t' || !IsLowerHex(rest.substr(0, digits)))
        return false;
    digest = rest.substr(0, digits);
    path = rest.substr(digits + 1);
    return true;
}

// Every tagged line, each checked for its form; false at the first that is
// not of its tag's form.
bool ReadTaggedLines(std::string_view signedText, TaggedLines& lines)
{
    for (std::string_view::size_type pos = 0; pos < signedText.size();) {
        std::string_view::size_type end = signedText.find('\n', pos);
        if (end == std::string_view::npos)
            end = signedText.size();
        const std::string_view line = TrimLineEnd(signedText.substr(pos, end - pos));
        pos = end + 1;
        std::string_view digest, path;
        if (line.compare(0, sizeof(Sha256Tag) - 1, Sha256Tag) == 0) {
            if (!SplitDigestLine(line.substr(sizeof(Sha256Tag) - 1), 64, digest, path))
                return false;
            lines.sha256.push_back({path, digest});
        } else if (line.compare(0, sizeof(DroppedTag) - 1, DroppedTag) == 0) {
            if (!SplitDigestLine(line.substr(sizeof(DroppedTag) - 1), 32, digest, path) ||
                !IsSafeRelativePath(std::string(path)))
                return false;
            lines.dropped.push_back({path, digest});
        } else if (line.compare(0, sizeof(ReleaseTag) - 1, ReleaseTag) == 0) {
            lines.release.push_back(line.substr(sizeof(ReleaseTag) - 1));
        } else if (line.compare(0, sizeof(ExpiresTag) - 1, ExpiresTag) == 0) {
            lines.expires.push_back(line.substr(sizeof(ExpiresTag) - 1));
        }
    }
    return true;
}

// Whether each entry has exactly one SHA-256 line and each line an entry;
// sorts lines by path.
bool OneDigestEach(const std::vector<ManifestEntry>& entries, SignedDigests& lines)
{
    // The release tool writes both in path order: then one pass tells.
    const auto byPath = [](const SignedDigest& a, const SignedDigest& b) { return a.path < b.path; };
    bool inOrder = entries.size() == lines.size();
    for (std::size_t i = 0; inOrder && i < entries.size(); ++i)
        inOrder = entries[i].path == lines[i].path && (i == 0 || lines[i - 1].path < lines[i].path);
    if (inOrder || entries.size() != lines.size())
        return inOrder;
    std::sort(lines.begin(), lines.end(), byPath);
    for (std::size_t i = 1; i < lines.size(); ++i) {
        if (lines[i - 1].path == lines[i].path)
            return false;
    }
    std::vector<bool> taken(lines.size(), false);
    for (const ManifestEntry& e : entries) {
        const auto found = std::lower_bound(lines.begin(), lines.end(), SignedDigest{e.path, {}}, byPath);
        if (found == lines.end() || found->path != e.path || taken[found - lines.begin()])
            return false;
        taken[found - lines.begin()] = true;
    }
    return true;
}

}  // namespace

bool SignedEntries(std::string_view signedText, SignedRelease& release)
{
    TaggedLines lines;
    SignedRelease read;
    if (!ReadTaggedLines(signedText, lines) || lines.release.size() != 1 || lines.expires.size() != 1 ||
        !ParseSerial(lines.release[0], read.serial) || !ParseUtcTime(lines.expires[0], read.expires))
        return false;
    read.entries = ParseManifest(std::string(signedText));
    if (read.entries.empty() || !OneDigestEach(read.entries, lines.sha256) ||
        FindSignedDigest(lines.sha256, ReleaseRecordName) == nullptr)
        return false;
    // A dropped file is one no entry has: the updater would otherwise
    // delete what it has just put in place.
    std::sort(lines.dropped.begin(), lines.dropped.end(), [](const DroppedFile& a, const DroppedFile& b) {
        return a.path != b.path ? a.path < b.path : a.md5 < b.md5;
    });
    for (const DroppedFile& d : lines.dropped) {
        if (FindSignedDigest(lines.sha256, d.path) != nullptr)
            return false;
    }
    read.digests.swap(lines.sha256);
    read.dropped.swap(lines.dropped);
    release = std::move(read);
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
                         VerifySignature verify, SignedRelease& release)
{
    release = SignedRelease();
    SignedParts parts;
    if (!SplitSignature(text, parts))
        return false;
    for (std::size_t i = 0; i < count; ++i) {
        if (parts.keyId == keys[i].id && verify(keys[i], parts.signedText, parts.signature))
            return SignedEntries(parts.signedText, release);
    }
    return false;
}

std::string ReleaseLine(std::uint64_t serial)
{
    return ReleaseTag + std::to_string(serial) + '\n';
}

std::string ExpiresLine(std::int64_t expires)
{
    return ExpiresTag + UtcTimeText(expires) + '\n';
}

std::string DroppedLine(const std::string& md5, const std::string& path)
{
    return DroppedTag + md5 + '\t' + path + '\n';
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

std::vector<DroppedFile> DeletableDropped(const SignedRelease& release)
{
    // The game too: every run ends by starting it.
    std::vector<std::string> kept = {WindowsNameKey(UpdaterFileName), WindowsNameKey("update.url"),
                                     WindowsNameKey(ReleaseRecordName), WindowsNameKey("Korvanth.exe")};
    for (const ManifestEntry& e : release.entries)
        kept.push_back(WindowsNameKey(e.path));
    std::sort(kept.begin(), kept.end());
    std::vector<DroppedFile> deletable;
    for (const DroppedFile& d : release.dropped) {
        if (!std::binary_search(kept.begin(), kept.end(), WindowsNameKey(d.path)))
            deletable.push_back(d);
    }
    return deletable;
}

std::string ReleaseRecordText(std::uint64_t serial)
{
    return std::to_string(serial) + '\n';
}

bool ParseReleaseRecord(std::string_view text, std::uint64_t& serial)
{
    if (!text.empty() && text.back() == '\n')
        text.remove_suffix(1);
    if (!text.empty() && text.back() == '\r')
        text.remove_suffix(1);
    return ParseSerial(text, serial);
}

bool ParseSerial(std::string_view text, std::uint64_t& serial)
{
    // Up to 19 digits: every such number fits in 64 bits.
    if (text.empty() || text.size() > 19 || text[0] == '0' ||
        text.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    serial = 0;
    for (char c : text)
        serial = serial * 10 + static_cast<std::uint64_t>(c - '0');
    return true;
}
