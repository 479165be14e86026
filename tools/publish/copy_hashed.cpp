// The one read of a changed file: each chunk is hashed and written from the
// same buffer. The buffer is small enough to stay in the processor's cache
// between the digest and the write.
#include "copy_hashed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/evp.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "file_md5.h"
#include "whole_file.h"

namespace {

const std::size_t ChunkSize = 256 << 10;

// Hashes everything from in (sha256 may be null), and writes it to out
// unless out is -1; false with errno set.
bool Stream(int in, int out, EVP_MD_CTX* md5, EVP_MD_CTX* sha256, std::uint64_t& total)
{
    // One per thread, kept: a fresh one for each file would be fresh pages to fault in.
    static thread_local std::vector<char> buffer(ChunkSize);
    for (;;) {
        const ssize_t got = read(in, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return got == 0;
        const std::size_t length = static_cast<std::size_t>(got);
        if (EVP_DigestUpdate(md5, buffer.data(), length) != 1 ||
            (sha256 != nullptr && EVP_DigestUpdate(sha256, buffer.data(), length) != 1)) {
            errno = EIO;
            return false;
        }
        if (out >= 0 && !WriteAll(out, buffer.data(), length))
            return false;
        total += length;
    }
}

// A digest context begun, or null.
EVP_MD_CTX* Begun(const EVP_MD* kind)
{
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    if (context != nullptr && EVP_DigestInit_ex(context, kind, nullptr) == 1)
        return context;
    EVP_MD_CTX_free(context);
    return nullptr;
}

}  // namespace

bool CopyHashed(int in, const std::string& target, bool withSha256, CopiedFile& copied, std::string& why)
{
    int out = -1;
    EVP_MD_CTX* md5 = nullptr;
    EVP_MD_CTX* sha256 = nullptr;
    bool ok = false;
    struct stat info;
    copied.size = 0;
    if (fstat(in, &info) != 0) {
        why = std::string("cannot be read: ") + std::strerror(errno);
        goto done;
    }
    // Opened without waiting, so a source swapped for a pipe is refused here.
    if (!S_ISREG(info.st_mode)) {
        why = "is no longer a regular file";
        goto done;
    }
    copied.source = StampOf(info);
    posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    if (!target.empty()) {
        out = open(target.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0400);
        // Set after creation, where the umask cannot take anything away.
        if (out < 0 || fchmod(out, PublishedMode(info.st_mode)) != 0) {
            why = std::string("cannot be written: ") + std::strerror(errno);
            goto done;
        }
    }
    md5 = Begun(EVP_md5());
    sha256 = withSha256 ? Begun(EVP_sha256()) : nullptr;
    if (md5 == nullptr || (withSha256 && sha256 == nullptr)) {
        why = "cannot make a digest";
        goto done;
    }
    if (!Stream(in, out, md5, sha256, copied.size)) {
        why = std::string("cannot be copied: ") + std::strerror(errno);
        goto done;
    }
    ok = true;
done:
    if (ok && (!FinishDigest(md5, copied.md5) || (withSha256 && !FinishDigest(sha256, copied.sha256)))) {
        why = "cannot make a digest";
        ok = false;
    }
    EVP_MD_CTX_free(md5);
    EVP_MD_CTX_free(sha256);
    if (out >= 0 && close(out) != 0 && ok) {
        why = std::string("cannot be written: ") + std::strerror(errno);
        ok = false;
    }
    close(in);
    if (!ok && out >= 0)
        unlink(target.c_str());
    return ok;
}
